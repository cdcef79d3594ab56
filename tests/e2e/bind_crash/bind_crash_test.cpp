// The binding file survives the service being killed in the middle of a save: whenever the
// process dies, bind.json holds one complete record that the next start can read.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bind/binding_file.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BindingFile, IsAlwaysACompleteRecordWhenTheServiceIsKilledMidSave) {
  std::string dir_pattern = (std::filesystem::temp_directory_path() / "chair-crash-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir_pattern.data()), nullptr);
  const std::filesystem::path dir = dir_pattern;
  const auto file = dir / "bind.json";
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{dir};

  std::mt19937 random(std::random_device{}());
  int saved = 0;
  const auto test_deadline = Clock::now() + std::chrono::seconds(10);
  for (int round = 0; round < 12 && Clock::now() < test_deadline; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ServiceProcess service(bin_path("chair-service"), {"-port", "0"}, {"TAMRO_DATA_DIR=" + dir.string()});
    service.read_lines(3);
    const uint16_t port = service.port();
    ASSERT_NE(port, 0) << "the service did not announce its port: " << service.err();

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
    service.kill(SIGKILL);
    service.wait();
    stop = true;
    for (auto& c : clients) c.join();
    saved += replies;

    auto text = read_file(file);
    if (saved == 0 && !text) continue;  // killed before the first save
    ASSERT_TRUE(text.has_value()) << "bind.json vanished";
    auto parsed = bind::parse_binding(*text);
    ASSERT_TRUE(parsed.ok()) << "bind.json does not parse (" << text->size() << " bytes): " << text->substr(0, 200);
    EXPECT_EQ(*text, bind::binding_file_text(*parsed)) << "not a record the service wrote";
    EXPECT_EQ(parsed->boundName.size() - parsed->boundName.find('-'), 5001u) << "a name cut short";
  }
  EXPECT_GT(saved, 0) << "no save ever completed; the test proved nothing";
}

}  // namespace
}  // namespace chair::test
