#include "dbus_fixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace chair::test {

namespace {

constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::PrivateBus() {
  std::string templ = (std::filesystem::temp_directory_path() / "chair-bus-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  std::string config = kBusConfig;
  config.replace(config.find("@DIR@"), 5, dir_);
  std::ofstream(dir_ + "/bus.conf") << config;
  daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address"});
  address_ = daemon_->wait_for([](const std::string& l) { return l.rfind("unix:", 0) == 0; });
  if (address_.empty()) throw std::runtime_error("dbus-daemon did not start");
}

PrivateBus::~PrivateBus() {
  daemon_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace chair::test
