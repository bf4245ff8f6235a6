#include <windows.h>

#include "diag/test_hooks.h"

namespace TarvDiag {

namespace {

// The full token of a split administrator account is what the elevation
// prompt hands out; a plain user's token, or a limited one, is "default" or
// "limited".
bool RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
  CloseHandle(token);
  return known && type == TokenElevationTypeFull;
}

// Wine gives every process the full administrator token and has no prompt
// to cross, so there the token tells nothing about who started the copy.
bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

bool TestHooksAllowed() {
  // Asked once: the token does not change while the process runs.
  static const bool allowed = RunsUnderWine() || !RunsElevated();
  return allowed;
}

}  // namespace TarvDiag
