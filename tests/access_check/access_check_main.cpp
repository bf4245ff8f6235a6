// tarv-access-check INSTALL_DIR
//
// Prints "granted" and exits 0 when the installation-access test passes for
// INSTALL_DIR as the calling user, else prints "refused" and exits 1.
#include <cstdio>

#include "data/file_util.h"
#include "session/install_access.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s INSTALL_DIR\n", argv[0]);
    return 2;
  }
  bool granted = TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(argv[1]));
  printf("%s\n", granted ? "granted" : "refused");
  return granted ? 0 : 1;
}
