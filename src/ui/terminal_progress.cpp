#include "ui/terminal_progress.h"

#include <cmath>

#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {
namespace {

// Below 10 two decimals, otherwise one, in the decimal mark of the thread's
// language: a small patch still shows that it moves.
wxString Decimal(double value) {
  const int digits = value < 10 ? 2 : 1;
  const uint64_t scale = digits == 2 ? 100 : 10;
  const auto scaled = static_cast<uint64_t>(std::floor(value * static_cast<double>(scale) + 0.5));
  const wxChar mark =
      TarvMessages::ThreadLanguage() == TarvMessages::Language::kEnglish ? '.' : ',';
  return wxString::Format("%llu%c%0*llu", static_cast<unsigned long long>(scaled / scale), mark,
                          digits, static_cast<unsigned long long>(scaled % scale));
}

wxString Megabytes(uint64_t bytes) { return Decimal(static_cast<double>(bytes) / 1e6); }

wxString Clock(uint64_t seconds) {
  const unsigned long long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return wxString::Format("%llu:%02llu:%02llu", h, m, s);
  return wxString::Format("%llu:%02llu", m, s);
}

wxString Message(int id) { return wxString(TarvMessages::LoadMessage(id)); }

}  // namespace

wxString FormatTransferProgress(uint64_t done, uint64_t total, double elapsedSeconds) {
  const double rate = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0;
  const wxString speed = Megabytes(static_cast<uint64_t>(rate));
  if (total == 0) {
    return wxString::Format(Message(TarvMessages::Id::kTerminalProgressNoTotal), Megabytes(done),
                            speed);
  }
  const uint64_t shown = done < total ? done : total;
  // Whole percent, cut rather than rounded so that 100 means complete.
  const auto percent = static_cast<uint64_t>(static_cast<unsigned __int128>(shown) * 100 / total);
  wxString left = "--:--";
  if (shown == total) {
    left = Clock(0);
  } else if (rate >= 1) {
    left = Clock(static_cast<uint64_t>(std::ceil(static_cast<double>(total - shown) / rate)));
  }
  return wxString::Format(Message(TarvMessages::Id::kTerminalProgress),
                          wxString::Format("%llu", static_cast<unsigned long long>(percent)),
                          Megabytes(done), Megabytes(total), speed, left);
}

wxString FormatPhaseProgress(uint64_t done, uint64_t total) {
  return wxString::Format(Message(TarvMessages::Id::kTerminalApplying),
                          wxString::Format("%llu", static_cast<unsigned long long>(done)),
                          wxString::Format("%llu", static_cast<unsigned long long>(total)));
}

}  // namespace TarvPatch
