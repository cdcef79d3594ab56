#include "sys/sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace chair::sys {
namespace {

using namespace std::chrono_literals;

std::string read_all(Socket& s) {
  std::string out;
  char buf[256];
  for (;;) {
    auto got = s.read_some(buf, sizeof buf, std::chrono::steady_clock::now() + 2s);
    if (!got || *got == 0) return out;
    out.append(buf, *got);
  }
}

TEST(Sockets, ConnectsToALoopbackListenerOrSaysWhyNot) {
  init_sockets();
  uint16_t port = 0;
  {
    auto listener = Listener::bind_loopback(0, 4);
    ASSERT_TRUE(listener.ok()) << listener.error();
    port = listener->local_port();
    auto client = connect_loopback(port, 1s);
    ASSERT_TRUE(client.ok()) << client.error();
    auto served = listener->accept();
    ASSERT_TRUE(served.ok());
    // Both ends block as usual after the connect: a large write is not cut short.
    const std::string big(4 << 20, 'x');
    bool written = false;
    std::thread writer([&] {
      written = client->write_all(big);
      client->close();
    });
    EXPECT_EQ(read_all(*served).size(), big.size());
    writer.join();
    EXPECT_TRUE(written);
  }
  auto refused = connect_loopback(port, 1s);
  ASSERT_FALSE(refused.ok());
  EXPECT_FALSE(refused.error().empty());
}

#ifndef _WIN32
// A service started again on its old port: the connections it closed first linger in TIME_WAIT.
// (Windows holds its ports exclusively, TIME_WAIT included.)
TEST(Sockets, APortWithClosedConnectionsCanBeListenedOnAgainButNotAnActiveOne) {
  init_sockets();
  uint16_t port = 0;
  {
    auto listener = Listener::bind_loopback(0, 4);
    ASSERT_TRUE(listener.ok());
    port = listener->local_port();
    auto client = connect_loopback(port, 1s);
    ASSERT_TRUE(client.ok());
    auto served = listener->accept();
    ASSERT_TRUE(served.ok());
    served->close();  // the server side closes first, as the service does after every reply
    EXPECT_EQ(read_all(*client), "");
  }
  auto again = Listener::bind_loopback(port, 4);
  ASSERT_TRUE(again.ok()) << again.error();
  auto twice = Listener::bind_loopback(port, 4);
  EXPECT_FALSE(twice.ok());
}
#endif

}  // namespace
}  // namespace chair::sys
