#include "main/event_stream.h"

#include "main/service_state.h"

namespace chair {

namespace {

constexpr std::string_view kStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: keep-alive\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

bool write_record(sys::Socket& socket, const std::string& json) {
  std::string frame;
  frame.reserve(json.size() + 8);
  frame += "data: ";
  frame += json;
  frame += "\n\n";
  return socket.write_all(frame);
}

}  // namespace

void serve_events(ServiceState& state, sys::Socket& socket) {
  socket.set_send_timeout(kStreamWriteTimeout);
  if (!socket.write_all(kStreamHead)) return;

  auto [id, queue] = state.events.subscribe();
  // The snapshot goes to this client only, so it precedes every queued event.
  if (write_record(socket, to_json(make_status_event(status_name(state))))) {
    for (;;) {
      std::shared_ptr<const std::string> text;
      auto r = queue->pop(text, kKeepAlive);
      if (r == EventQueue::Pop::Closed) break;
      bool ok = r == EventQueue::Pop::Message ? write_record(socket, *text) : socket.write_all(": ping\n\n");
      if (!ok) break;
    }
  }
  state.events.unsubscribe(id);
}

}  // namespace chair
