// What every backend test against the fake runtime shares: a fresh world per test, the
// backend's platform, and the checks that end each test (nothing the backend obtained is
// still alive, no handler still registered, no call from a thread outside an apartment).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ble/winrt/winrt_platform.h"
#include "fakert/fake_runtime.h"

namespace chair::test {

using namespace std::chrono_literals;

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
constexpr uint64_t kChairAddress = 0xC0FFEE01020AULL;
constexpr const char* kDataUuid = "7772e5db-3868-4112-a1a9-f2669d106bf3";

inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

// Runs `body` on a thread of its own that has never been in an apartment.
inline void on_fresh_thread(const std::function<void()>& body) { std::thread(body).join(); }

// What callbacks delivered, from the runtime's threads.
template <class T>
class Collected {
 public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
  }
  std::vector<T> items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  bool wait_for(size_t n, std::chrono::milliseconds timeout = 5s) const {
    return eventually([&] { return size() >= n; }, timeout);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> items_;
};

using Bytes = std::vector<uint8_t>;

class BackendTest : public ::testing::Test {
 protected:
  explicit BackendTest(fakert::Options options = {}) : options_(options) {}

  void SetUp() override {
    fakert::reset(options_);
    platform_ = ble::make_winrt_platform();
  }
  void TearDown() override {
    platform_.reset();
    ASSERT_TRUE(fakert::settle());
    EXPECT_EQ(fakert::live_objects(), (std::map<std::string, int>{})) << "objects the backend did not release";
    EXPECT_EQ(fakert::live_registrations(), 0) << "event handlers the backend did not remove";
    EXPECT_EQ(fakert::apartment_violations(), std::vector<std::string>{});
  }

  ble::Platform& platform() { return *platform_; }

  // The calls recorded from `from` on whose names start with one of `prefixes`.
  static std::vector<std::string> calls_of(size_t from, const std::vector<std::string>& prefixes) {
    std::vector<std::string> out;
    for (const auto& call : fakert::calls(from)) {
      for (const auto& prefix : prefixes) {
        if (call.rfind(prefix, 0) == 0) {
          out.push_back(call);
          break;
        }
      }
    }
    return out;
  }

  fakert::Options options_;
  ble::PlatformPtr platform_;
};

}  // namespace chair::test
