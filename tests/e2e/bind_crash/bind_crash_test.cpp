// The binding file survives the service being killed in the middle of a save: whenever the
// process dies, bind.json holds one complete record that the next start can read.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bind/binding_file.h"
#include "data_dir.h"
#include "http_client.h"
#include "service_process.h"
#include "test_env.h"

namespace chair::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(BindingFile, IsAlwaysACompleteRecordWhenTheServiceIsKilledMidSave) {
  const TempDataDir dir;

  std::mt19937 random(std::random_device{}());
  int saved = 0;
  const auto test_deadline = Clock::now() + std::chrono::seconds(10);
  for (int round = 0; round < 12 && Clock::now() < test_deadline; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto service = start_service({"-port", "0"});
    const uint16_t port = service->port();
    ASSERT_NE(port, 0) << "the service did not announce its port: " << service->err();

    // Long names make every save write several kilobytes, so the kill has a wide window to
    // land inside a write.
    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    auto client = [&](int id) {
      for (int i = 0; !stop; ++i) {
        const std::string name = "r" + std::to_string(round) + "c" + std::to_string(id) + "n" + std::to_string(i) +
                                 "-" + std::string(5000, 'a' + id);
        auto reply = get(port, "/api/bind/set?addr=AA:BB:CC:DD:EE:0" + std::to_string(id) + "&name=" + name);
        if (reply.body == R"({"ok":true})") ++replies;
      }
    };
    std::vector<std::thread> clients;
    for (int id = 0; id < 3; ++id) clients.emplace_back(client, id);

    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution(30, 250)(random)));
    service->kill(SIGKILL);
    service->wait();
    stop = true;
    for (auto& c : clients) c.join();
    saved += replies;

    if (saved == 0 && !std::filesystem::exists(dir.file())) continue;  // killed before the first save
    ASSERT_TRUE(std::filesystem::exists(dir.file())) << "bind.json vanished";
    const std::string text = read_file(dir.file());
    auto parsed = bind::parse_binding(text);
    ASSERT_TRUE(parsed.ok()) << "bind.json does not parse (" << text.size() << " bytes): " << text.substr(0, 200);
    EXPECT_EQ(text, bind::binding_file_text(*parsed)) << "not a record the service wrote";
    EXPECT_EQ(parsed->boundName.size() - parsed->boundName.find('-'), 5001u) << "a name cut short";
  }
  EXPECT_GT(saved, 0) << "no save ever completed; the test proved nothing";
}

}  // namespace
}  // namespace chair::test
