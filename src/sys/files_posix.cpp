// Whole-file reads and crash-safe replacement on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
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

// The process that wrote `name`, when it is one of replace_file's private files for the
// file whose private names start with `prefix` ("bind.json.tmp-"): "<prefix><pid>-<n>".
std::optional<pid_t> temp_file_owner(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  name.remove_prefix(prefix.size());
  const size_t dash = name.find('-');
  auto digits = [](std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (dash == std::string_view::npos || !digits(name.substr(0, dash)) || !digits(name.substr(dash + 1)))
    return std::nullopt;
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + dash, pid);
  // A number no process can have is nobody's that still runs.
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<pid_t>::max();
  return pid;
}

}  // namespace

void remove_replace_leftovers(const std::filesystem::path& path) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  const std::string prefix = path.filename().string() + ".tmp-";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    auto owner = temp_file_owner(name, prefix);
    if (!owner || *owner <= 0) continue;
    // Another service on the same folder may be writing its own right now.
    if (*owner != ::getpid() && (::kill(*owner, 0) == 0 || errno == EPERM)) continue;
    ::unlink(it->path().c_str());
  }
}

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
