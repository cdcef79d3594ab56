// Event records as the UI reads them, the hub's fan-out, the event stream's bytes, and the
// session timer and report history behind the timer records and /api/history.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "eventually.h"
#include "service/event_stream.h"
#include "service/events/event.h"
#include "service/events/event_hub.h"
#include "service/report_history.h"
#include "service/session_timer.h"

namespace chair {
namespace {

TEST(EventRecords, MemberOrderAndOmissions) {
  EXPECT_EQ(to_json(LogEvent{}), R"({"type":"log"})");
  EXPECT_EQ(to_json(StatusEvent{}), R"({"type":"status"})");
  EXPECT_EQ(to_json(StatusEvent{"idle"}), R"({"type":"status","status":"idle"})");
  EXPECT_EQ(to_json(ConnectedEvent{"TAMRO A"}), R"({"type":"status","status":"connected","name":"TAMRO A"})");
  ble::DeviceRecord d;
  d.address = "C0:FF:EE:01:02:0A";
  d.rssi = -70;
  d.hits = 3;
  EXPECT_EQ(
      to_json(DeviceEvent{d}),
      R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"","rssi":-70,"hits":3,"lastSeen":""}})");
  d.services = {"fe95", "180f"};
  d.vendors = {65535, 76};
  EXPECT_EQ(
      to_json(DeviceEvent{d}),
      R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"","rssi":-70,"hits":3,"lastSeen":"","services":["fe95","180f"],"vendors":[65535,76]}})");
  ble::ChairStatus c;
  c.cold = 5;
  c.switchByte = 0x31;
  c.btAudio = c.waterOn = c.heating = true;
  c.raw = "55";
  EXPECT_EQ(
      to_json(ChairEvent{c}),
      R"({"type":"chair","chair":{"cold":5,"hot":0,"vibrate":0,"volume":0,"lumbar":0,"temp":0,"switchByte":49,"btAudio":true,"motion":false,"headphone":false,"seated":false,"waterOn":true,"heating":true,"raw":"55"}})");
  EXPECT_EQ(
      to_json(AutoConnectEvent{"waiting", bind::BindConfig{}}),
      R"({"type":"autoconnect","status":"waiting","bind":{"boundAddress":"","boundName":"","autoConnect":true,"init":{"water":"cool","coolLevel":10,"heatLevel":6,"lumbar":3,"vibrate":0,"volume":0}}})");
  EXPECT_EQ(
      to_json(BindEvent{bind::BindConfig{"AA:BB", "N\x01\"", false, {}}}),
      R"({"type":"bind","bind":{"boundAddress":"AA:BB","boundName":"N\u0001\"","autoConnect":false,"init":{"water":"cool","coolLevel":10,"heatLevel":6,"lumbar":3,"vibrate":0,"volume":0}}})");
  EXPECT_EQ(to_json(TimerEvent{1800}), R"({"type":"timer","seconds":1800})");
  EXPECT_EQ(to_json(TimerEvent{0}), R"({"type":"timer","seconds":0})");
}

// A replaced countdown ends at its new time, a cancelled or dropped one never runs out, and
// one that runs out does so once; the timer is used again afterwards.
TEST(SessionTimer, ReplacedCancelledDroppedAndRunOut) {
  using namespace std::chrono_literals;
  std::atomic<int> expired{0};
  SessionTimer timer([&] { ++expired; });
  EXPECT_EQ(timer.seconds_left(), 0);
  ASSERT_TRUE(timer.set(1s));
  EXPECT_EQ(timer.seconds_left(), 1);
  ASSERT_TRUE(timer.set(3600s));
  {
    SessionTimer dropped([&] { ++expired; });
    ASSERT_TRUE(dropped.set(1s));
  }
  EXPECT_FALSE(test::eventually([&] { return expired > 0; }, 1500ms));
  EXPECT_GT(timer.seconds_left(), 3590);
  EXPECT_TRUE(timer.cancel());
  EXPECT_FALSE(timer.cancel());
  EXPECT_EQ(timer.seconds_left(), 0);
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(timer.set(1s));
    EXPECT_TRUE(test::eventually([&] { return expired == round; }, 3s)) << round;
    EXPECT_EQ(timer.seconds_left(), 0);
    EXPECT_FALSE(timer.cancel());
  }
}

// The history gives back each report's chair object exactly as its event had it, and stays
// within its bounds of age, count and bytes.
TEST(ReportHistory, SameChairObjectsWithinBounds) {
  ReportHistory history;
  auto entry = [](HistorySlice& slice, size_t i) {
    std::string out;
    slice.append_json(i, out);
    return out;
  };
  auto chair_of = [](const ble::ChairStatus& s) {
    const std::string event = to_json(ChairEvent{s});
    return event.substr(event.find("\"chair\":") + 8, event.size() - event.find("\"chair\":") - 9);
  };
  ble::ChairStatus full;
  full.lumbar = 3;
  full.temp = 27;
  ble::set_switch(full, 0xD1);  // bits without a flag stay in the byte
  full.raw = "55 01 0B 08 00 00 00 00 03 1B D1 E4 AA";
  ble::ChairStatus odd = full;
  odd.raw = "not a frame";  // never sent, but kept as it is
  ble::ChairStatus lower = full;
  lower.raw = "55 01 0b";
  history.add(full, 1000);
  history.add(odd, 2000);
  history.add(lower, 3000);
  auto all = history.newer_than(-1, 3000);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ(entry(*all, 0), "{\"chair\":" + chair_of(full) + ",\"t\":1000}");
  EXPECT_EQ(entry(*all, 1), "{\"chair\":" + chair_of(odd) + ",\"t\":2000}");
  EXPECT_EQ(entry(*all, 2), "{\"chair\":" + chair_of(lower) + ",\"t\":3000}");
  all.reset();
  EXPECT_EQ(history.newer_than(2000, 3000)->size(), 1u);
  // A day later the first report has gone; the second is exactly a day old and stays.
  EXPECT_EQ(history.newer_than(-1, 2000 + ReportHistory::kSpanMs)->size(), 2u);

  // A report every second for longer than a day: the newest 43,200 stay, in under 2 MiB.
  for (int64_t t = 0; t < 50000; ++t) history.add(full, 10000000 + t * 1000);
  EXPECT_EQ(history.size(), ReportHistory::kMaxReports);
  EXPECT_LE(history.bytes(), 2u * 1024 * 1024);
  auto day = history.newer_than(-1, 10000000 + 49999 * 1000);
  EXPECT_EQ(entry(*day, 0), "{\"chair\":" + chair_of(full) + ",\"t\":" + std::to_string(10000000 + 6800 * 1000) + "}");
  // Long frames fill the bytes before the count.
  full.raw = "55";
  for (int i = 0; i < 260; ++i) full.raw += " 00";
  for (int64_t t = 0; t < 10000; ++t) history.add(full, 70000000 + t);
  EXPECT_LE(history.bytes(), ReportHistory::kMaxBytes);
  EXPECT_LT(history.size(), 10000u);
}

TEST(EventRecords, Escapes) {
  EXPECT_EQ(to_json(LogEvent{"a\nb\t\"c\"\\/\x7f"}), "{\"type\":\"log\",\"log\":\"a\\nb\\t\\\"c\\\"\\\\/\x7f\"}");
  EXPECT_EQ(to_json(LogEvent{"\x01\x1f\x08\x0c\r"}), R"({"type":"log","log":"\u0001\u001f\b\f\r"})");
  EXPECT_EQ(to_json(LogEvent{"已绑定座椅"}), R"({"type":"log","log":"已绑定座椅"})");
}

TEST(EventHub, EverySubscriberGetsEveryEventInOneOrderAndDeadOnesAreDropped) {
  EventHub hub;
  auto [a, qa] = hub.subscribe();
  auto [b, qb] = hub.subscribe();
  EXPECT_NE(a, b);
  std::vector<std::thread> publishers;
  for (int t = 0; t < 4; ++t)
    publishers.emplace_back([&hub, t] {
      for (int i = 0; i < 50; ++i) hub.publish_log(std::to_string(t) + "/" + std::to_string(i));
    });
  for (auto& p : publishers) p.join();
  auto take_all = [](EventQueue& q) {
    std::vector<std::string> out;
    std::shared_ptr<const std::string> text;
    while (q.pop(text, std::chrono::milliseconds(0)) == EventQueue::Pop::Message) out.push_back(*text);
    return out;
  };
  const auto seen_a = take_all(*qa);
  EXPECT_EQ(seen_a.size(), 200u);
  EXPECT_EQ(take_all(*qb), seen_a);

  // A queue whose stream ended is removed by the next publish; the others still receive.
  qa->close();
  hub.publish_status("idle");
  EXPECT_EQ(hub.subscriber_count(), 1u);
  EXPECT_EQ(take_all(*qb), std::vector<std::string>{R"({"type":"status","status":"idle"})"});
  hub.unsubscribe(b);
  hub.unsubscribe(b);  // a second time is harmless
  EXPECT_EQ(hub.subscriber_count(), 0u);
}

TEST(EventHub, ASubscriberThatStopsReadingIsCutOffNotGrown) {
  EventHub hub;
  auto [slow, queue] = hub.subscribe();
  for (size_t i = 0; i <= EventQueue::kMaxEvents; ++i) hub.publish_log("x");
  EXPECT_TRUE(queue->closed());
  EXPECT_EQ(hub.subscriber_count(), 0u);
  std::shared_ptr<const std::string> text;
  EXPECT_EQ(queue->pop(text, std::chrono::milliseconds(0)), EventQueue::Pop::Closed);
  (void)slow;
}

// A client in memory: takes every byte until its budget of writes is spent.
class MemorySink : public http::ByteSink {
 public:
  explicit MemorySink(int writes_allowed = 1 << 30) : left_(writes_allowed) {}
  bool write_all(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    if (left_-- <= 0) return false;
    bytes_.append(bytes);
    return true;
  }
  void set_write_timeout(std::chrono::milliseconds timeout) override { timeout_ = timeout; }
  std::string bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  std::chrono::milliseconds timeout_{0};

 private:
  std::mutex mutex_;
  int left_;
  std::string bytes_;
};

constexpr std::string_view kHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: keep-alive\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

TEST(EventStream, HeadSnapshotThenEventsUntilAWriteFails) {
  EXPECT_EQ(kHead.size(), 133u);
  EventHub hub;
  // The head, the snapshot and two events; the third event's write fails.
  MemorySink sink(4);
  std::thread stream([&] {
    serve_events(
        hub, [] { return std::string("scanning"); }, sink);
  });
  ASSERT_TRUE(test::eventually([&] { return hub.subscriber_count() == 1; }));
  ASSERT_TRUE(test::eventually([&] { return sink.bytes().size() > kHead.size(); }));
  hub.publish_log("one");
  hub.publish_status("idle");
  hub.publish_log("three");
  stream.join();
  EXPECT_EQ(sink.bytes(), std::string(kHead) + "data: {\"type\":\"status\",\"status\":\"scanning\"}\n\n" +
                              "data: {\"type\":\"log\",\"log\":\"one\"}\n\n" +
                              "data: {\"type\":\"status\",\"status\":\"idle\"}\n\n");
  EXPECT_EQ(sink.timeout_, kStreamWriteTimeout);
  EXPECT_EQ(hub.subscriber_count(), 0u);

  // A client gone before the head subscribes nothing.
  MemorySink gone(0);
  serve_events(
      hub, [] { return std::string("idle"); }, gone);
  EXPECT_EQ(hub.subscriber_count(), 0u);
}

}  // namespace
}  // namespace chair
