#include "tools/chairctl/recording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>

#include "common/text.h"
#include "sys/files.h"
#include "tools/chairctl/event_feed.h"
#include "tools/chairctl/render.h"

namespace chairctl {

namespace {

using ordered = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStreamOpenTimeout = 10s;
// After Ctrl-C, what is already on its way is still taken.
constexpr auto kLastRecords = 100ms;
constexpr const char* kSeparators[] = {":", "_", "-", ""};

int64_t unix_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string with_separator(const std::string& digits, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i > 0) out += separator;
    out += digits.substr(i, 2);
  }
  return out;
}

// The log lines that name a chair: "link opened NAME (ADDR)", "connected NAME (ADDR)" and the
// binding's "已绑定座椅 NAME (ADDR)".
const std::regex& named_chair_line() {
  static const std::regex line(
      "^(?:link opened |connected |已绑定座椅 )(.*) \\([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}\\)$");
  return line;
}

const std::regex& address_form() {
  static const std::regex form("[0-9A-Fa-f]{2}([:_-])[0-9A-Fa-f]{2}(?:\\1[0-9A-Fa-f]{2}){4}");
  return form;
}

template <class F>
void each_string(ordered& value, const F& f) {
  if (value.is_string()) {
    f(value.get_ref<std::string&>());
  } else if (value.is_structured()) {
    for (auto& item : value) each_string(item, f);
  }
}

std::string member_text(const ordered& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

void SessionMask::learn_text(const std::string& text) {
  for (std::sregex_iterator it(text.begin(), text.end(), address_form()), end; it != end; ++it) {
    const auto at = static_cast<size_t>(it->position());
    const size_t after = at + static_cast<size_t>(it->length());
    if ((at > 0 && is_alnum(text[at - 1])) || (after < text.size() && is_alnum(text[after]))) continue;
    std::string digits;
    for (char c : it->str()) {
      if (is_alnum(c)) digits += c;
    }
    digits = chair::to_upper_ascii(digits);
    if (addresses_.count(digits)) continue;
    char masked[16];
    const size_t n = addresses_.size() + 1;
    std::snprintf(masked, sizeof masked, "02000000%02X%02X", static_cast<unsigned>((n >> 8) & 0xFF),
                  static_cast<unsigned>(n & 0xFF));
    addresses_[digits] = masked;
  }
}

void SessionMask::learn_name(const std::string& name) {
  if (chair::is_blank(name) || std::regex_match(name, address_form())) return;
  for (const auto& known : names_) {
    if (known.first == name) return;
  }
  names_.emplace_back(name, "TAMRO masked " + std::to_string(names_.size() + 1));
  // The longest first, so that a name inside a longer one never cuts it.
  std::stable_sort(names_.begin(), names_.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

void SessionMask::learn(const std::string& record) {
  ordered event = ordered::parse(record, nullptr, false);
  if (!event.is_object()) return;
  each_string(event, [this](const std::string& text) { learn_text(text); });
  const std::string type = member_text(event, "type");
  if (type == "status") learn_name(member_text(event, "name"));
  if (type == "device" && event.contains("device")) learn_name(member_text(event["device"], "name"));
  if ((type == "bind" || type == "autoconnect") && event.contains("bind")) {
    learn_name(member_text(event["bind"], "boundName"));
  }
  std::smatch m;
  const std::string log = member_text(event, "log");
  if (std::regex_match(log, m, named_chair_line())) learn_name(m[1]);
}

void SessionMask::replace_in(std::string& text) const {
  // One pass from left to right: a replacement is never looked at again, so a masked name can
  // never be taken for another name.
  const std::string upper = chair::to_upper_ascii(text);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  auto bounded = [&](size_t at, size_t length) {
    return (at == 0 || !is_alnum(text[at - 1])) && (at + length >= text.size() || !is_alnum(text[at + length]));
  };
  while (i < text.size()) {
    std::optional<std::pair<size_t, std::string>> hit;  // length replaced, replacement
    for (const auto& [digits, masked] : addresses_) {
      for (const char* separator : kSeparators) {
        const std::string form = with_separator(digits, separator);
        if (upper.compare(i, form.size(), form) == 0 && bounded(i, form.size())) {
          hit.emplace(form.size(), with_separator(masked, separator));
          break;
        }
      }
      if (hit) break;
    }
    for (size_t k = 0; !hit && k < names_.size(); ++k) {
      const auto& [name, masked] = names_[k];
      if (text.compare(i, name.size(), name) == 0 && bounded(i, name.size())) hit.emplace(name.size(), masked);
    }
    if (hit) {
      out += hit->second;
      i += hit->first;
    } else {
      out += text[i++];
    }
  }
  text = std::move(out);
}

std::string SessionMask::apply(const std::string& record) const {
  ordered event = ordered::parse(record, nullptr, false);
  if (event.is_discarded()) return record;
  each_string(event, [this](std::string& text) { replace_in(text); });
  return event.dump(-1, ' ', false, ordered::error_handler_t::replace);
}

int cmd_record(Context& ctx, const RecordRequest& request) {
  auto feed = EventFeed::open(ctx.client, kStreamOpenTimeout);
  if (!feed) return report(feed.failure());
  // Without --mask every line is on disk as soon as it arrived; a mask needs the whole session
  // first (a name may show up only late), so the file is written at the end.
  std::FILE* out = nullptr;
  if (!request.mask) {
    out = std::fopen(request.file.c_str(), "wb");
    if (!out) return report(Failure{kExitService, "cannot write " + request.file + ": " + std::strerror(errno)});
  }
  std::vector<std::pair<int64_t, std::string>> kept;
  auto write_line = [&](std::string line) {
    line += '\n';
    return std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
  };
  auto entry = [](int64_t t, const std::string& record) {
    return "{\"t\":" + std::to_string(t) + ",\"record\":" + record + "}";
  };

  const auto start = Clock::now();
  ordered header;
  header["format"] = "chair-session";
  header["version"] = 1;
  header["started"] = unix_ms();
  header["masked"] = request.mask;
  bool written = !out || write_line(header.dump());
  note("recording the service's events into " + request.file + "; Ctrl-C ends the recording");

  size_t count = 0;
  auto take = [&](const std::string& record) {
    const auto t = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ++count;
    if (out) return write_line(entry(t, record));
    kept.emplace_back(t, record);
    return true;
  };
  const bool timed = request.seconds > 0;
  const auto end = start + std::chrono::milliseconds(std::llround(request.seconds * 1000.0));
  std::optional<Failure> broken;
  std::string record;
  for (bool going = written; going;) {
    switch ((*feed)->next(record, timed ? end : Clock::now() + 1h)) {
      case EventFeed::Wait::Record: going = written = take(record); break;
      case EventFeed::Wait::Timeout: going = !timed; break;
      case EventFeed::Wait::Interrupted: {
        set_interrupted(false);
        const auto last = Clock::now() + kLastRecords;
        while (written && (*feed)->next(record, last) == EventFeed::Wait::Record) written = take(record);
        going = false;
        break;
      }
      case EventFeed::Wait::Closed:
        broken = (*feed)->closed_reason();
        going = false;
        break;
    }
  }

  if (out) {
    const int write_error = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
      return report(
          Failure{kExitService, "cannot write " + request.file + ": " + std::strerror(written ? errno : write_error)});
    }
  } else {
    SessionMask mask;
    for (const auto& [t, text] : kept) mask.learn(text);
    std::string text = header.dump() + "\n";
    for (const auto& [t, kept_record] : kept) text += entry(t, mask.apply(kept_record)) + "\n";
    auto saved = chair::sys::replace_file(request.file, text);
    if (!saved) return report(Failure{kExitService, "cannot write " + request.file + ": " + saved.error()});
  }
  note(std::to_string(count) + " records in " + request.file);
  return broken ? report(*broken) : kExitOk;
}

}  // namespace chairctl
