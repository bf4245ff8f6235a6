// tarv-mkpatch md5 FILE...: digests in the form md5sum prints them.
#include <cstdio>

#include "crypto/md5.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "mkpatch.h"

namespace mkpatch {

int CmdMd5(const Args& args) {
  if (args.empty()) return Fail("usage: tarv-mkpatch md5 FILE...");
  int code = 0;
  for (const auto& file : args) {
    std::wstring digest;
    if (!TarvCrypto::ComputeFileMD5(TarvUtil::FromFsPath(file), digest)) {
      code = Fail(file + ": cannot be read");
      continue;
    }
    printf("%s  %s\n", TarvText::ToUtf8(digest).c_str(), file.c_str());
  }
  return code;
}

}  // namespace mkpatch
