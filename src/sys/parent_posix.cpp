#include <unistd.h>

#include <chrono>
#include <thread>

#include "sys/parent.h"
#include "sys/thread.h"

namespace chair::sys {

namespace {
// An orphan is re-parented (to init or a subreaper) without any notice; polling is the
// portable way to see it.
constexpr auto kParentCheck = std::chrono::milliseconds(250);
}  // namespace

bool watch_parent(std::function<void()> on_gone) {
  const pid_t parent = ::getppid();
  if (parent <= 1) return false;
  return spawn_detached([parent, on_gone = std::move(on_gone)] {
    while (::getppid() == parent) std::this_thread::sleep_for(kParentCheck);
    on_gone();
  });
}

}  // namespace chair::sys
