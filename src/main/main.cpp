#include <string>
#include <vector>

#include "service/service.h"
#include "sys/termination.h"
#ifdef _WIN32
#include <windows.h>
// after windows.h, which it needs
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "ble/winrt/winrt_platform.h"
#else
#include "ble/bluez/module.h"
#endif

#ifdef _WIN32
namespace {

// The arguments as the system holds them (UTF-16), handed on as UTF-8; argv would carry
// them in the system code page.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
    arg.pop_back();  // the terminating NUL
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return args;
}

}  // namespace
#endif

int main(int argc, char** argv) {
  // Before the platform starts its threads: they inherit the deferral, so a termination
  // signal waits for the service's own handler, which quiets the chair first.
  chair::sys::defer_termination_requests();
#ifdef _WIN32
  // The parent reads our announcement as UTF-8 bytes with bare line feeds: no text-mode
  // translation of "\n" into "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args = utf8_arguments(argc, argv);
  auto platform = chair::ble::make_winrt_platform();
#else
  std::vector<std::string> args(argv, argv + argc);
  auto platform = chair::ble::make_loaded_bluez_platform();
#endif
  return chair::run_service(args, std::move(platform));
}
