#include <pthread.h>
#include <signal.h>

#include "sys/termination.h"
#include "sys/thread.h"

namespace chair::sys {

namespace {

sigset_t termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void defer_termination_requests() {
  const sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool watch_termination(std::function<void()> on_request) {
  return spawn_detached([on_request = std::move(on_request)] {
    const sigset_t set = termination_signals();
    // sigwait takes only signals blocked in its own thread.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    on_request();
  });
}

}  // namespace chair::sys
