// The data-file location, loading at start-up, and saving under crashes and contention.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bind/binding_file.h"
#include "bind/binding_store.h"

namespace chair::bind {
namespace {

namespace fs = std::filesystem;

// A private temporary directory, removed afterwards.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "bind-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path = made;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::optional<std::string> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != "bind.json") names.push_back(e.path().filename().string());
  }
  return names;
}

// Every test sets the variables it needs; they are put back afterwards.
class StoreTest : public ::testing::Test {
 protected:
  static constexpr const char* kVars[] = {"TAMRO_DATA_DIR", "XDG_CONFIG_HOME", "HOME", "TMPDIR"};

  void SetUp() override {
    for (const char* v : kVars) {
      const char* value = std::getenv(v);
      saved_.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    ::setenv("TAMRO_DATA_DIR", dir_.path.c_str(), 1);
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i]) {
        ::setenv(kVars[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kVars[i]);
      }
    }
  }

  fs::path file() const { return dir_.path / "bind.json"; }

  TempDir dir_;
  BindingStore store_{file()};

 private:
  std::vector<std::optional<std::string>> saved_;
};

Result<BindConfig> save(BindingStore& store, const BindConfig& config) {
  return store.update([&](BindConfig& c) { c = config; });
}

BindConfig record(int i) {
  // Names of varying length so that torn writes would show as unparsable or mixed records.
  return BindConfig{"AA:BB:CC:DD:EE:" + std::to_string(i % 100), "chair-" + std::string(i % 7 * 300, 'x'), i % 2 == 0,
                    InitConfig{i % 3 ? "heat" : "cool", i, -i, i % 11, 0, 1}};
}

TEST_F(StoreTest, DataFilePathFollowsTheEnvironment) {
  struct Case {
    std::optional<std::string> data_dir, xdg, home;
    std::string want;
  };
  const Case cases[] = {
      {"/srv/chair", "/cfg", "/home/u", "/srv/chair/bind.json"},
      {" \t/srv/chair \n", std::nullopt, std::nullopt, "/srv/chair/bind.json"},
      {"\xE3\x80\x80/srv/chair\xE3\x80\x80", std::nullopt, std::nullopt, "/srv/chair/bind.json"},  // U+3000
      {"relative/dir", std::nullopt, std::nullopt, "relative/dir/bind.json"},
      // Blank or non-UTF-8 values fall through to the per-user folder.
      {" \t\n", "/cfg", "/home/u", "/cfg/TAMRO-GamingChair/bind.json"},
      {"", "/cfg", "/home/u", "/cfg/TAMRO-GamingChair/bind.json"},
      {"/bad\xFF", "/cfg", "/home/u", "/cfg/TAMRO-GamingChair/bind.json"},
      // A relative XDG_CONFIG_HOME is ignored.
      {std::nullopt, "cfg", "/home/u", "/home/u/.config/TAMRO-GamingChair/bind.json"},
      {std::nullopt, std::nullopt, "/home/u", "/home/u/.config/TAMRO-GamingChair/bind.json"},
      {std::nullopt, std::nullopt, std::nullopt, "<tmp>/TAMRO-GamingChair/bind.json"},
      {std::nullopt, std::nullopt, "", "<tmp>/TAMRO-GamingChair/bind.json"},
  };
  // The temporary directory must exist to be taken.
  ::setenv("TMPDIR", dir_.path.c_str(), 1);
  auto set = [](const char* name, const std::optional<std::string>& v) {
    if (v) {
      ::setenv(name, v->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    set("TAMRO_DATA_DIR", c.data_dir);
    set("XDG_CONFIG_HOME", c.xdg);
    set("HOME", c.home);
    std::string want = c.want;
    if (want.starts_with("<tmp>")) want.replace(0, 5, dir_.path.string());
    EXPECT_EQ(data_file_path(), fs::path(want)) << c.data_dir.value_or("<unset>");
  }
}

TEST_F(StoreTest, LoadAppliesFreshDefaultsUnlessTheFileParses) {
  const BindConfig fresh{};
  BindConfig address_only{"AA", "", false, InitConfig{}};
  BindConfig empty_water{"AA", "N", true, InitConfig{}};
  struct Case {
    std::optional<std::string> text;  // nullopt: no file
    BindConfig want;
  };
  const Case cases[] = {
      {std::nullopt, fresh},
      {"", fresh},
      {R"({"boundAddress":"AA"})", address_only},
      {R"({"boundAddress":"AA","boundName":"N","autoConnect":true,
           "init":{"water":"","coolLevel":1,"heatLevel":2,"lumbar":3,"vibrate":4,"volume":5}})",
       empty_water},
      {R"({"boundAddress":"AA","autoConnect":false,"init":{"coolLevel":1}})", fresh},  // no water
      {R"({"boundAddress":"AA","other":{"deep":[1,2]}})", address_only},
      {R"({"boundAddress":"AA","init":{"water":"cool","lumbar":2.0}})", fresh},
      {R"({"boundAddress":"AA","init":{"water":"cool","lumbar":"2"}})", fresh},
      {"\xEF\xBB\xBF{\"boundAddress\":\"AA\"}", fresh},
      {binding_file_text(address_only).substr(0, 40), fresh},  // torn file
  };
  for (const auto& c : cases) {
    // A non-default copy first, to see that load resets it.
    BindingStore store(file());
    ASSERT_TRUE(save(store, record(3)).ok());
    fs::remove(file());
    if (c.text) write_file(file(), *c.text);
    store.load();
    EXPECT_EQ(store.snapshot(), c.want) << c.text.value_or("<no file>");
  }

  // What is no regular file reads as no file, without waiting for a writer.
  ASSERT_TRUE(save(store_, record(3)).ok());
  fs::remove(file());
  ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
  auto loading = std::async(std::launch::async, [this] { store_.load(); });
  const bool returned = loading.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!returned) ::close(::open(file().c_str(), O_WRONLY | O_NONBLOCK));  // lets it go
  EXPECT_TRUE(returned) << "load waits on a FIFO";
  loading.wait();
  EXPECT_EQ(store_.snapshot(), fresh);
  fs::remove(file());
  fs::create_directories(file());
  store_.load();
  EXPECT_EQ(store_.snapshot(), fresh);
}

TEST_F(StoreTest, AFileOverOneMebibyteIsTreatedAsUnreadable) {
  // A valid record padded with white space to the limit, and one byte beyond it.
  const BindConfig bound{"AA:BB:CC:DD:EE:FF", "N", false, InitConfig{}};
  const std::string text = binding_file_text(bound);
  for (size_t size : {kMaxBindingFileBytes, kMaxBindingFileBytes + 1}) {
    const std::string padded = text + std::string(size - text.size(), ' ');
    write_file(file(), padded);
    BindingStore store(file());
    store.load();
    EXPECT_EQ(store.snapshot(), size <= kMaxBindingFileBytes ? bound : BindConfig{}) << size;
    EXPECT_EQ(read_file(file()), padded) << "load never touches the file";
  }
}

TEST_F(StoreTest, SaveCreatesTheDirectoryAndWritesTheExactText) {
  fs::path nested = dir_.path / "a" / "b";
  ::setenv("TAMRO_DATA_DIR", nested.c_str(), 1);
  BindingStore store(data_file_path());
  BindConfig r = record(5);
  auto stored = save(store, r);
  ASSERT_TRUE(stored.ok()) << stored.error();
  EXPECT_EQ(*stored, r);
  EXPECT_EQ(store.snapshot(), r);
  EXPECT_EQ(read_file(nested / "bind.json"), binding_file_text(r));
  EXPECT_TRUE(leftovers(nested).empty());

  // Overwrite, then the next start reads back what was saved.
  ASSERT_TRUE(save(store, record(6)).ok());
  BindingStore next_start(data_file_path());
  next_start.load();
  EXPECT_EQ(next_start.snapshot(), record(6));
}

TEST_F(StoreTest, AFailedSaveChangesNothing) {
  // The folder cannot be made below a plain file; a folder stands where the file goes.
  write_file(dir_.path / "plain-file", "x");
  fs::create_directories(dir_.path / "taken" / "bind.json");
  for (const fs::path& path : {dir_.path / "plain-file" / "sub" / "bind.json", dir_.path / "taken" / "bind.json"}) {
    BindingStore store(path);
    auto saved = save(store, record(8));
    ASSERT_FALSE(saved.ok()) << path;
    EXPECT_FALSE(saved.error().empty());
    EXPECT_EQ(store.snapshot(), BindConfig{}) << path;
    // The next change starts from the record as it was, not from the failed one.
    auto next = store.update([](BindConfig& c) { c.boundName = "next"; });
    EXPECT_FALSE(next.ok());
    EXPECT_EQ(store.snapshot(), BindConfig{});
  }
}

TEST_F(StoreTest, FailedWriteLeavesThePreviousFileAndNoTemporaryFile) {
  ASSERT_TRUE(save(store_, record(1)).ok());
  const std::string before = *read_file(file());

  // The child may not grow any file beyond a few bytes, so the write itself fails.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    BindingStore child(file());
    child.load();
    auto saved = save(child, record(2));
    bool as_expected = !saved.ok() && saved.error().find("large") != std::string::npos && child.snapshot() == record(1);
    ::_exit(as_expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save did not fail with the OS error text";
  EXPECT_EQ(read_file(file()), before);
  EXPECT_TRUE(leftovers(dir_.path).empty());
}

TEST_F(StoreTest, ConcurrentSavesLeaveOneCompleteRecordEqualToMemory) {
  // Saves start together in bursts, so the order in which they swap the in-memory copy
  // and the order in which they reach the file differ; after each burst the file must
  // still hold the copy of the last swap, and a reader must never see a torn file.
  constexpr int kThreads = 4, kBursts = 20;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  ASSERT_TRUE(save(store_, record(0)).ok());

  std::thread reader([&] {
    while (!done) {
      auto text = read_file(file());
      if (!text || !parse_binding(*text).ok()) ++torn;
    }
  });
  std::barrier sync(kThreads + 1);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int b = 0; b < kBursts; ++b) {
        sync.arrive_and_wait();
        EXPECT_TRUE(save(store_, record(b * kThreads + t)).ok());
        sync.arrive_and_wait();
      }
    });
  }
  int mismatches = 0;
  for (int b = 0; b < kBursts; ++b) {
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    auto on_disk = parse_binding(read_file(file()).value_or(""));
    if (!on_disk.ok() || *on_disk != store_.snapshot()) ++mismatches;
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(mismatches, 0) << "bursts whose file differs from the in-memory copy";
  EXPECT_TRUE(leftovers(dir_.path).empty());
}

TEST_F(StoreTest, KilledDuringSavesTheFileStillHoldsACompleteRecordAndTheNextStartClearsUp) {
  ASSERT_TRUE(save(store_, record(0)).ok());
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> delay_us(0, 20000);
  const auto start = std::chrono::steady_clock::now();

  pid_t pid = 0;
  for (int round = 0; round < 30 && std::chrono::steady_clock::now() - start < std::chrono::seconds(4); ++round) {
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      BindingStore child(file());
      for (int i = 1;; ++i) (void)save(child, record(round * 1000 + i));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    auto text = read_file(file());
    ASSERT_TRUE(text.has_value()) << "round " << round;
    auto parsed = parse_binding(*text);
    ASSERT_TRUE(parsed.ok()) << "round " << round << ": " << parsed.error();
    EXPECT_EQ(*text, binding_file_text(*parsed)) << "round " << round;
  }

  // A killed writer's private file goes at the next start; a running one's, and whatever
  // else lies in the folder, stay.
  const std::string live = "bind.json.tmp-" + std::to_string(::getppid()) + "-0";
  const std::vector<std::string> others = {live, "bind.json.tmp-1-x", "bind.json.bak",
                                           "notes.tmp-" + std::to_string(pid) + "-0"};
  write_file(dir_.path / ("bind.json.tmp-" + std::to_string(pid) + "-7"), "{");
  for (const auto& name : others) write_file(dir_.path / name, "{");
  BindingStore next_start(file());
  next_start.load();
  auto left = leftovers(dir_.path);
  std::sort(left.begin(), left.end());
  auto expected = others;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

TEST_F(StoreTest, ConcurrentChangesEachSeeThePreviousOne) {
  // Read-modify-write through update(): no increment may be lost between two threads.
  ASSERT_TRUE(save(store_, BindConfig{}).ok());
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) EXPECT_TRUE(store_.update([](BindConfig& c) { ++c.init.volume; }).ok());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(store_.snapshot().init.volume, kThreads * kEach);
  EXPECT_EQ(parse_binding(read_file(file()).value_or("")).value().init.volume, kThreads * kEach);
}

}  // namespace
}  // namespace chair::bind
