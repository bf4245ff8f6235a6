// Feeds arbitrary bytes to the uninstaller-log update as an existing log.
// Whatever the input, the planner must either refuse it or produce a log
// that itself holds together, with the record count grown by the records
// added and the file growth reflected in the end offset.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "session/uninstall_log.h"

namespace {

uint32_t Le32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

void Check(bool condition) {
  if (!condition) abort();
}

std::string Apply(const std::string& log, const TarvPatch::UninstallLogEdit& edit) {
  return edit.header +
         log.substr(TarvPatch::kUninstallHeaderSize,
                    edit.kept_end - TarvPatch::kUninstallHeaderSize) +
         edit.tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the added paths; the rest is the log.
  const size_t count = data[0] % 6;
  const std::string log(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> records;
  for (size_t i = 0; i < count; ++i) {
    records.push_back(TarvPatch::MakeDeleteFileRecord(std::string(i * 997 % 5000, 'a' + i)));
  }
  TarvPatch::UninstallLogEdit edit;
  std::string error;
  if (!TarvPatch::PlanUninstallLogEdit(log, records, &edit, &error)) {
    Check(!error.empty());
    return 0;
  }
  const std::string updated = Apply(log, edit);
  Check(static_cast<int32_t>(Le32(updated, 324)) ==
        static_cast<int64_t>(static_cast<int32_t>(Le32(log, 324))) + static_cast<int64_t>(count));
  Check(Le32(updated, 328) - Le32(log, 328) == updated.size() - log.size());
  // The result must itself be accepted as a log.
  TarvPatch::UninstallLogEdit again;
  Check(TarvPatch::PlanUninstallLogEdit(updated, {}, &again, &error));
  Check(Apply(updated, again) == updated);
  return 0;
}
