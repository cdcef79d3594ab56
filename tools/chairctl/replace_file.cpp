#include "tools/chairctl/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace chairctl {

namespace {

chair::Status system_error(int err) { return chair::fail(std::strerror(err)); }

}  // namespace

chair::Status replace_file(const std::filesystem::path& path, std::string_view text) {
  const std::string target = path.string();
  const std::string temp = target + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return system_error(errno);
  auto abandon = [&](int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    return system_error(err);
  };
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return system_error(err);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return system_error(err);
  }
  // The rename itself is only durable once the folder's entry is on the disk.
  const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
  const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace chairctl
