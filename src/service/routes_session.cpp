// The session timer and the report history: additions beside the chair routes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/event_stream.h"
#include "service/events/event.h"
#include "service/routes.h"

namespace chair::routes {

namespace {

// The head every JSON reply has (http::Reply::json); the history writes its body in pieces.
constexpr std::string_view kJsonHeadStart =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
constexpr std::string_view kJsonHeadEnd = "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
// A full day is about ten megabytes of text: it leaves in pieces of this size, never whole.
constexpr size_t kPiece = 64 * 1024;

// Decimal digits only; nullopt for anything else, or beyond `max`.
std::optional<int64_t> parse_digits(std::string_view text, int64_t max) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (max - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool only_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Writes the reply of a slice: the length is learnt from a first rendering, so the body never
// has to be held whole.
void write_history(http::ByteSink& sink, HistorySlice& slice) {
  sink.set_write_timeout(kStreamWriteTimeout);
  std::string piece;
  size_t length = 2;  // "[" and "]"
  for (size_t i = 0; i < slice.size(); ++i) {
    piece.clear();
    slice.append_json(i, piece);
    length += piece.size() + (i > 0 ? 1 : 0);
  }
  piece.clear();
  piece += kJsonHeadStart;
  piece += std::to_string(length);
  piece += kJsonHeadEnd;
  piece += '[';
  for (size_t i = 0; i < slice.size(); ++i) {
    if (i > 0) piece += ',';
    slice.append_json(i, piece);
    if (piece.size() >= kPiece) {
      if (!sink.write_all(piece)) return;
      piece.clear();
    }
  }
  piece += ']';
  (void)sink.write_all(piece);
}

}  // namespace

http::Reply timer_set(Service& service, const http::Request& request) {
  const std::string* text = request.param("seconds");
  if (!text || !only_digits(*text)) return http::Reply::json(error_reply("invalid seconds"));
  const auto seconds = parse_digits(*text, SessionTimer::kLongest.count());
  if (!seconds || *seconds < 1) return http::Reply::json(error_reply("定时必须 1-86400 秒，当前 " + *text));
  if (auto set = service.timer().set(std::chrono::seconds(*seconds)); !set) {
    return http::Reply::json(error_reply(set.error()));
  }
  service.events().publish(TimerEvent{*seconds});
  return http::Reply::json(ok_reply());
}

http::Reply timer_cancel(Service& service, const http::Request&) {
  if (service.timer().cancel()) service.events().publish(TimerEvent{0});
  return http::Reply::json(ok_reply());
}

http::Reply timer_get(Service& service, const http::Request&) {
  return http::Reply::json(nlohmann::json{{"seconds", service.timer().seconds_left()}});
}

http::Reply history(Service& service, const http::Request& request) {
  int64_t since = -1;
  if (const std::string* text = request.param("since")) {
    const auto parsed = parse_digits(*text, INT64_MAX);
    if (!parsed) return http::Reply::json(error_reply("invalid since"));
    since = *parsed;
  }
  std::shared_ptr<HistorySlice> slice = service.history().newer_than(since, unix_now_ms());
  return http::Reply::stream([slice](http::ByteSink& sink) { write_history(sink, *slice); });
}

}  // namespace chair::routes
