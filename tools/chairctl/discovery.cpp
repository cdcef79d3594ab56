#include "tools/chairctl/discovery.h"

#include <cstdlib>

#include "common/text.h"
#include "sys/files.h"

namespace chairctl {

namespace {

// The file holds one address; anything longer is not one.
constexpr size_t kMaxUrlFile = 4096;

std::string how_to_start() {
  return "start one with \"systemctl --user start chair-panel\" (or \"chair-panel --resident &\"), name a running "
         "one with --url URL or CHAIR_SERVICE_URL, or give this one command a service of its own with --spawn";
}

}  // namespace

std::string resident_url_file() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return {};
  return std::string(runtime) + "/chair-service/url";
}

Result<ServiceAddress, Failure> find_service(const std::string& url_option) {
  if (!url_option.empty()) return ServiceAddress{url_option, false};
  const char* env = std::getenv("CHAIR_SERVICE_URL");
  if (env != nullptr && !chair::trim_ascii(env).empty()) return ServiceAddress{env, false};

  const std::string file = resident_url_file();
  auto text = file.empty() ? chair::Result<std::string>(chair::fail("XDG_RUNTIME_DIR is not set"))
                           : chair::sys::read_file(file, kMaxUrlFile);
  if (!text) {
    return Failure{kExitUnreachable,
                   "no service to talk to: none was named (--url, CHAIR_SERVICE_URL) and no "
                   "resident one announced itself (" +
                       (file.empty() ? text.error() : file + ": " + text.error()) + "); " + how_to_start()};
  }
  const std::string_view first_line = std::string_view(*text).substr(0, text->find('\n'));
  auto url = normalize_base_url(std::string(chair::trim_ascii(first_line)));
  if (!url) return Failure{kExitUnreachable, file + " does not hold a service's address: " + url.failure().text};
  return ServiceAddress{*url, true};
}

Failure not_running_failure(const ServiceAddress& address) {
  return Failure{kExitUnreachable, "the address " + address.url + " came from " + resident_url_file() +
                                       ", but the resident service that wrote it no longer answers; " + how_to_start()};
}

}  // namespace chairctl
