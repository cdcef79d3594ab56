#include "tools/chair-panel/runtime.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "common/text.h"
#include "sys/files.h"
#include "sys/paths.h"

namespace chair::panel {

namespace {

using namespace std::chrono_literals;

constexpr const char* kLockName = "panel.lock";
constexpr const char* kPublished[] = {"url", "panel"};
constexpr auto kLookAgain = 100ms;
constexpr size_t kMaxAddress = 4096;

std::string system_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Ours alone: a real folder (not a link to one), owned by us, closed to everybody else.
Status make_private_folder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return fail(system_text("cannot create " + folder.string()));
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return fail(system_text(folder.string()));
  if (!S_ISDIR(st.st_mode)) return fail(folder.string() + " is not a folder");
  if (st.st_uid != ::geteuid()) return fail(folder.string() + " belongs to another user");
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) return fail(system_text(folder.string()));
  return {};
}

}  // namespace

Result<RuntimeFolder> RuntimeFolder::open() {
  const auto base = sys::env_text("XDG_RUNTIME_DIR");
  if (!base || base->empty() || (*base)[0] != '/') return fail("XDG_RUNTIME_DIR is not set");
  return open_at(std::filesystem::path(*base) / "chair-service");
}

Result<RuntimeFolder> RuntimeFolder::open_at(std::filesystem::path folder) {
  if (const Status made = make_private_folder(folder); !made) return made.take_error();
  return RuntimeFolder(std::move(folder));
}

RuntimeFolder::RuntimeFolder(RuntimeFolder&& other) noexcept
    : folder_(std::move(other.folder_)), lock_(std::exchange(other.lock_, -1)) {}

RuntimeFolder::~RuntimeFolder() {
  if (lock_ < 0) return;
  // The files go while the claim still holds, so a panel that finds them finds us alive.
  withdraw();
  ::close(lock_);
}

void RuntimeFolder::withdraw() {
  for (const char* name : kPublished) ::unlink((folder_ / name).c_str());
}

Result<std::optional<std::string>> RuntimeFolder::claim(std::chrono::milliseconds timeout,
                                                        const std::function<bool()>& give_up) {
  if (lock_ >= 0) return std::optional<std::string>{};
  // Kept: removing it could let two panels lock two different files of the same name.
  const std::filesystem::path lock_path = folder_ / kLockName;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Close-on-exec, or the service we start would hold the claim after we are gone.
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(system_text("cannot open " + lock_path.string()));
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lock_ = fd;
      // Left by a panel that was killed: nothing may send anybody there.
      withdraw();
      return std::optional<std::string>{};
    }
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) {
      errno = error;
      return fail(system_text("cannot lock " + lock_path.string()));
    }
    // Written by the holder once it serves its page; until then it is starting.
    if (auto page = sys::read_file(folder_ / "panel", kMaxAddress); page && !trim_ascii(*page).empty())
      return std::optional<std::string>(std::string(trim_ascii(*page)));
    if (std::chrono::steady_clock::now() >= deadline || (give_up && give_up()))
      return fail("another chair-panel is starting and has not said where its page is");
    std::this_thread::sleep_for(kLookAgain);
  }
}

Status RuntimeFolder::publish(std::string_view name, std::string_view text) {
  if (lock_ < 0) return fail("only the running panel says where it is");
  const std::filesystem::path target = folder_ / std::string(name);
  const std::filesystem::path temp = folder_ / ("." + std::string(name) + ".new");
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail(system_text("cannot write " + temp.string()));
  const std::string line = std::string(text) + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const bool closed = ::close(fd) == 0;
  // Readers see the old address or the new one, never half of one.
  if (!written || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
    Status failed = fail(system_text("cannot write " + target.string()));
    ::unlink(temp.c_str());
    return failed;
  }
  return {};
}

}  // namespace chair::panel
