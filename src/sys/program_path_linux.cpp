#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "sys/paths.h"

namespace chair::sys {

Result<std::filesystem::path> running_program() {
  // The kernel shows at most a page of path here; a longer one fails with ENAMETOOLONG.
  std::string buf(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n < 0) return fail("cannot read /proc/self/exe: " + std::system_category().message(errno));
  if (static_cast<size_t>(n) >= buf.size() || n == 0 || buf[0] != '/') return fail("cannot read /proc/self/exe");
  buf.resize(static_cast<size_t>(n));
  return std::filesystem::path(std::move(buf));
}

std::filesystem::path installed_service_dir() { return CHAIR_INSTALLED_SERVICE_DIR; }

}  // namespace chair::sys
