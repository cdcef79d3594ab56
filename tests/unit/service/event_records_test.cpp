// Event records as the UI reads them, the hub's fan-out, and the event stream's bytes.
#include <gtest/gtest.h>

#include <thread>

#include "eventually.h"
#include "service/event_stream.h"
#include "service/events/event.h"
#include "service/events/event_hub.h"

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
