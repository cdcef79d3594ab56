#include "service/event_stream.h"

namespace chair {

namespace {

constexpr std::string_view kStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: keep-alive\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

bool write_record(http::ByteSink& sink, const std::string& json) {
  // The same bytes as three writes, in one: a record never leaves in pieces.
  std::string frame;
  frame.reserve(json.size() + 8);
  frame += "data: ";
  frame += json;
  frame += "\n\n";
  return sink.write_all(frame);
}

}  // namespace

void serve_events(EventHub& hub, const std::function<std::string()>& status_name, http::ByteSink& sink,
                  const std::function<std::vector<ServiceEvent>()>& more_state) {
  sink.set_write_timeout(kStreamWriteTimeout);
  if (!sink.write_all(kStreamHead)) return;

  auto [id, queue] = hub.subscribe();
  // The snapshot goes to this client only, so it precedes every queued event. It is taken
  // whole before any of it is written: once the client has its first record, whatever
  // changes next reaches it as an event.
  std::vector<ServiceEvent> snapshot{StatusEvent{status_name()}};
  if (more_state) {
    for (ServiceEvent& record : more_state()) snapshot.push_back(std::move(record));
  }
  bool open = true;
  for (const ServiceEvent& record : snapshot) open = open && write_record(sink, to_json(record));
  if (open) {
    for (;;) {
      std::shared_ptr<const std::string> text;
      auto r = queue->pop(text, kKeepAlive);
      if (r == EventQueue::Pop::Closed) break;
      bool ok = r == EventQueue::Pop::Message ? write_record(sink, *text) : sink.write_all(": ping\n\n");
      if (!ok) break;
    }
  }
  hub.unsubscribe(id);
}

}  // namespace chair
