// Fuzz target: the hive reader's handling of lines it does not take. The
// parser must only ever see valid UTF-8, the lines kept must come back byte
// for byte, and every value the parser can see must read or be refused
// without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "diag/text_encoding.h"
#include "os/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  OS::KeptHiveLines kept;
  const std::string masked = OS::MaskHiveLines(text, &kept);
  if (!TarvText::IsValidUtf8(masked)) abort();
  if (OS::RestoreHiveLines(masked, kept) != text) abort();
  size_t start = 0;
  while (start < masked.size()) {
    size_t end = masked.find('\n', start);
    if (end == std::string::npos) end = masked.size();
    const std::string line = masked.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    OS::RegistryValue value;
    if (OS::ParseRegistryValue(line.substr(equals + 1), &value)) {
      OS::RegistryValue back;
      if (!OS::ParseRegistryValue(OS::FormatRegistryValue(value), &back) || !(back == value)) {
        abort();
      }
    }
  }
  return 0;
}
