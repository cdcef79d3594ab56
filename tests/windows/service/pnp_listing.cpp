// The stand-in powershell.exe of the test build: whatever it is asked, it prints the Plug and
// Play listing that chair-service-fakert.exe left in CHAIR_FAKERT_PNP (UTF-8, one line) and
// ends, so the service's listing of paired names runs through its real process runner.
#include <windows.h>

#include <cstdio>
#include <string>

#include "sys/win_text.h"

int main() {
  std::wstring listing(32768, L'\0');
  const DWORD n = GetEnvironmentVariableW(L"CHAIR_FAKERT_PNP", listing.data(), static_cast<DWORD>(listing.size()));
  if (n == 0 || n >= listing.size()) return 1;
  listing.resize(n);
  const std::string text = chair::sys::wide_to_utf8(listing) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
