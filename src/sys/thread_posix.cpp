#include <pthread.h>

#include <memory>

#include "sys/thread.h"

namespace chair::sys {

namespace {
// Workers only parse requests, format JSON and wait on sockets: a small stack keeps
// hundreds of idle event streams cheap.
constexpr size_t kStackSize = 512 * 1024;

void* run(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  try {
    (*body)();
  } catch (...) {
    // A worker's failure ends that worker only.
  }
  return nullptr;
}
}  // namespace

bool spawn_detached(std::function<void()> body) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackSize);
  auto* arg = new std::function<void()>(std::move(body));
  pthread_t t;
  int rc = pthread_create(&t, &attr, run, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return false;
  }
  return true;
}

}  // namespace chair::sys
