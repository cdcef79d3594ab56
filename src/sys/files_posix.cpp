// Whole-file reads and crash-safe replacement on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <system_error>

#include "sys/files.h"

namespace chair::sys {

namespace {

std::string os_error_text(int err) { return std::error_code(err, std::generic_category()).message(); }

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(os_error_text(errno));
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace

Result<std::string> read_file(const std::filesystem::path& path, size_t max_bytes) {
  // Opened without waiting: a FIFO would otherwise block here until some writer came.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(os_error_text(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail("not a regular file");
  }
  std::string data;
  std::array<char, 4096> buf;
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return fail(os_error_text(err));
    }
    if (n == 0) break;
    // Checked as the bytes arrive rather than by the file's size, which a file being
    // written, a pipe or a special file does not tell truthfully.
    if (data.size() + static_cast<size_t>(n) > max_bytes) {
      ::close(fd);
      return fail("larger than " + std::to_string(max_bytes) + " bytes");
    }
    data.append(buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

Status replace_file(const std::filesystem::path& path, std::string_view text) {
  static std::atomic<uint64_t> counter{0};
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";

  std::filesystem::path temp;
  int fd = -1;
  // A file left by a killed process with the same id can hold the name; take the next.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return fail(os_error_text(errno));
  }
  if (fd < 0) return fail(os_error_text(EEXIST));

  auto abandon = [&](int err) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return fail(os_error_text(err));
  };
  if (auto written = write_all(fd, text); !written) {
    ::close(fd);
    ::unlink(temp.c_str());
    return written;
  }
  if (::fsync(fd) != 0) return abandon(errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return abandon(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return abandon(errno);

  // Makes the rename itself durable. Some file systems refuse to sync a folder; the file
  // is already in place by then, so that is no reason to report a failed save.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return {};
}

}  // namespace chair::sys
