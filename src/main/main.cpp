#include <string>
#include <vector>

#include "main/service.h"
#if CHAIR_HAVE_BLUEZ
#include "ble/bluez/bluez_platform.h"
#elif CHAIR_HAVE_NONE
#include "ble/none/none_platform.h"
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
#if CHAIR_HAVE_BLUEZ
  auto platform = chair::ble::make_bluez_platform();
#elif CHAIR_HAVE_NONE
  auto platform = chair::ble::make_none_platform();
#else
  chair::ble::PlatformPtr platform;
#endif
  return chair::run_service(args, std::move(platform));
}
