// Ending a scan or a connection while its callback runs on the loop thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ble/bluez/callback_gate.h"
#include "eventually.h"

namespace chair::ble::bluez {
namespace {

using namespace std::chrono_literals;
using test::eventually;

TEST(CallbackGate, CloseWaitsForARunningCallbackAndLetsNoneStartAfter) {
  CallbackGate gate;
  std::atomic<bool> inside{false}, release{false}, closed{false};
  std::thread loop([&] {
    gate.pass([&] {
      inside = true;
      while (!release) std::this_thread::sleep_for(1ms);
    });
  });
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  std::thread closer([&] {
    gate.close();
    closed = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(closed) << "close() returned while the callback was still running";
  release = true;
  closer.join();
  loop.join();

  bool ran = false;
  gate.pass([&] { ran = true; });
  EXPECT_FALSE(ran);
}

TEST(CallbackGate, ACallbackMayCloseItsOwnGate) {
  CallbackGate gate;
  int calls = 0;
  gate.pass([&] {
    ++calls;
    gate.close();  // must not wait for itself
  });
  gate.pass([&] { ++calls; });
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace chair::ble::bluez
