// jpatch OLD DIFF OUT: rebuilds a file from its old version and a difference
// file of either format (tools/difference/format1.h: one zstd frame with the
// old file as prefix; format2.h: its own magic, the output size and digest
// in its header). Either way a wrong old file or a damaged difference is
// detected instead of producing a wrong file.
//
// Memory: the old file and the difference are mapped; the first format
// decodes straight into the mapped output, the second into anonymous memory
// that is written out and given back behind it. Private memory stays small
// whatever the file size. The output is written to OUT.part, flushed to
// disk and renamed into place only when complete; on any failure the part
// file is removed.
//
// Digest: when the environment names a descriptor in TARV_DIGEST_FD, the
// MD5 of the output is taken as it is written (on a thread of its own) and
// one line goes there after the rename: the digest, the size, and the
// device, inode and modification time (ns) of the file written, so that the
// caller can tell whether the file it finds is still the one the digest
// belongs to.
//
// Exit codes: 0 success; 1 wrong arguments; 2 old file unreadable;
// 3 difference unreadable, corrupt or not matching the old file; 4 output
// not writable.
#include <openssl/crypto.h>

#include <cstdio>
#include <string>

#include "data/file_io.h"
#include "data/mapped_file.h"
#include "os/this_process.h"
#include "rebuild.h"

namespace {

// The run the mapping-fault handler reports for: the handler is called
// from a signal with no context of its own. Set once in main, before the
// handler is installed.
jpatch::Rebuild* g_rebuild = nullptr;

void OnMappingFault(const void* address) {
  const int code = g_rebuild->CodeForFault(address);
  g_rebuild->RemovePartFile();
  OS::WriteStandardError("jpatch: a mapped file could not be accessed\n");
  OS::ExitNow(code);
}

}  // namespace

int main(int argc, char** argv) {
  // Only digests are wanted of the library: its configuration file is not.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  if (argc != 4 || argv[1][0] == '\0' || argv[2][0] == '\0' || argv[3][0] == '\0') {
    fprintf(stderr, "usage: jpatch OLD DIFF OUT\n");
    return jpatch::kUsage;
  }
  jpatch::Rebuild rebuild(argv[1], argv[2], argv[3]);
  g_rebuild = &rebuild;
  TarvFile::OnMappingFault(OnMappingFault);
  return rebuild.Run();
}
