// libFuzzer target: any bytes as a server's catalogue file. The parser must
// neither crash nor store a record that breaks the catalogue's rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "patchserver/patch_catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(data, static_cast<uint32_t>(size));
  buffer.SetPosition(0);
  PatchCatalogue catalogue;
  bool found = catalogue.ParseCatalogue(&buffer, L"http://srv/patches");
  if (found == catalogue.Records().empty()) abort();
  for (const auto& [source, info] : catalogue.Records()) {
    if (source.empty() || info.targetVersion.empty() || info.patchExeUrl.empty() ||
        info.patchDataUrl.empty()) {
      abort();
    }
  }
  return 0;
}
