#include "replay.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/text.h"

namespace chair::sim {

namespace {

using json = nlohmann::json;

// Exchanges looked back over for the frame an answer belongs to.
constexpr size_t kAnswerLookBack = 16;

std::optional<Bytes> hex_frame(const std::string& text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int digit = hex_digit_value(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty()) return std::nullopt;
  return bytes;
}

std::string text_member(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Builds the exchanges from the records in their order.
class ScriptBuilder {
 public:
  void take(int64_t t, const json& record) {
    const std::string type = text_member(record, "type");
    if (type == "log") return take_log(t, text_member(record, "log"));
    if (type == "chair" && record.contains("chair") && record["chair"].is_object()) {
      const std::string raw = text_member(record["chair"], "raw");
      // A report whose frame was just logged is that frame; one that was not logged repeated
      // the frame before it, which the service logs only once.
      if (raw == unmatched_rx_) {
        unmatched_rx_.clear();
        return;
      }
      unmatched_rx_.clear();
      if (auto frame = hex_frame(raw)) answer(t, std::move(*frame));
    }
  }

  Result<ReplayScript> finish() {
    if (script_.address.empty()) return fail("the recording shows no chair that connected");
    return std::move(script_);
  }

 private:
  void take_log(int64_t t, const std::string& text) {
    static const std::regex connected("^connected (.*) \\(([0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5})\\)$");
    std::smatch m;
    if (text.rfind("TX: ", 0) == 0) {
      if (auto frame = hex_frame(text.substr(4))) {
        script_.exchanges.push_back({std::move(*frame), {}});
        sent_at_.push_back(t);
      }
    } else if (text.rfind("RX: ", 0) == 0) {
      unmatched_rx_ = text.substr(4);
      if (auto frame = hex_frame(unmatched_rx_)) answer(t, std::move(*frame));
    } else if (script_.address.empty() && std::regex_match(text, m, connected)) {
      script_.name = m[1];
      script_.address = m[2];
    }
  }

  // The chair answers a frame with one of the same command: an answer goes to the latest such
  // frame, since the service may have written another before the chair answered the first.
  void answer(int64_t t, Bytes frame) {
    auto& exchanges = script_.exchanges;
    if (exchanges.empty()) return;
    size_t chosen = exchanges.size() - 1;
    const size_t stop = exchanges.size() > kAnswerLookBack ? exchanges.size() - kAnswerLookBack : 0;
    for (size_t i = exchanges.size(); i-- > stop;) {
      if (frame.size() > 1 && exchanges[i].written.size() > 1 && exchanges[i].written[1] == frame[1]) {
        chosen = i;
        break;
      }
    }
    const auto delay = std::clamp<int64_t>(t - sent_at_[chosen], 0, kLongestAnswerDelay.count());
    exchanges[chosen].answers.push_back({std::chrono::milliseconds(delay), std::move(frame)});
  }

  ReplayScript script_;
  std::vector<int64_t> sent_at_;
  std::string unmatched_rx_;
};

}  // namespace

Result<ReplayScript> parse_replay(const std::string& text) {
  std::istringstream lines(text);
  ScriptBuilder builder;
  size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (line.empty()) continue;
    const json entry = json::parse(line, nullptr, false);
    const std::string where = "line " + std::to_string(number) + ": ";
    if (entry.is_discarded() || !entry.is_object()) return fail(where + "not a JSON object");
    if (number == 1) {
      if (text_member(entry, "format") != "chair-session") return fail(where + "not a chairctl recording");
      if (!entry.contains("version") || entry["version"] != 1)
        return fail(where + "a recording format this chair-sim does not know");
      continue;
    }
    const auto t = entry.find("t");
    const auto record = entry.find("record");
    if (t == entry.end() || !t->is_number_integer() || record == entry.end() || !record->is_object()) {
      return fail(where + "want {\"t\":<ms>,\"record\":{...}}");
    }
    builder.take(t->get<int64_t>(), *record);
  }
  if (number == 0) return fail("the recording is empty");
  return builder.finish();
}

Result<ReplayScript> load_replay(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  auto script = parse_replay(text.str());
  if (!script) return fail(path + ": " + script.error());
  return script;
}

Status add_replayed_chair(SimOptions& options) {
  if (options.replay_file.empty()) return {};
  auto script = load_replay(options.replay_file);
  if (!script) return script.take_error();
  DeviceSpec spec;
  spec.address = to_upper_ascii(script->address);
  spec.name = script->name;
  spec.replay = std::make_shared<const ReplayScript>(std::move(*script));
  for (const auto& d : options.devices) {
    if (d.address == spec.address) return fail("device " + spec.address + " given twice (by --replay too)");
  }
  options.devices.push_back(std::move(spec));
  return {};
}

std::vector<ReplayAnswer> ReplayChair::on_write(std::span<const uint8_t> written) {
  const auto& exchanges = script_->exchanges;
  auto same = [&](size_t i) {
    return std::equal(written.begin(), written.end(), exchanges[i].written.begin(), exchanges[i].written.end());
  };
  for (size_t i = cursor_; i < exchanges.size(); ++i) {
    if (same(i)) {
      cursor_ = i + 1;
      return exchanges[i].answers;
    }
  }
  for (size_t i = std::min(cursor_, exchanges.size()); i-- > 0;) {
    if (same(i)) return exchanges[i].answers;
  }
  return {};
}

}  // namespace chair::sim
