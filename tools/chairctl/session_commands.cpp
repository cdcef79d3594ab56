#include "tools/chairctl/session_commands.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "tools/chairctl/recording.h"
#include "tools/chairctl/render.h"

namespace chairctl {

namespace {

using ordered = nlohmann::ordered_json;

constexpr int64_t kLongestTimer = 86400;
// The chair record's members, as the service writes them.
constexpr const char* kChairColumns[] = {"cold",    "hot",    "vibrate",   "volume", "lumbar",  "temp",    "switchByte",
                                         "btAudio", "motion", "headphone", "seated", "waterOn", "heating", "raw"};

struct SessionArgs {
  std::string timer;
  bool csv = false;
  std::string since;
  RecordRequest record;
};

bool emit(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

void note(const std::string& text) {
  std::fprintf(stderr, "chairctl: %s\n", printable(text).c_str());
  std::fflush(stderr);
}

std::string left_text(int64_t seconds) {
  const int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  std::string out;
  if (h > 0) out += std::to_string(h) + "h";
  if (h > 0 || m > 0) out += std::to_string(m) + "m";
  return out + std::to_string(s) + "s";
}

// "2025-01-31 23:59:58" in local time, for reports that may span midnight.
std::string local_time(int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string csv_value(const ordered& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.is_null() ? std::string() : value.dump();
}

int cmd_timer(Context& ctx, const std::string& word, int64_t seconds) {
  if (word == "cancel") return simple_call(ctx, "/api/timer/cancel");
  if (!word.empty()) return simple_call(ctx, "/api/timer/set", {{"seconds", std::to_string(seconds)}});
  std::string raw;
  auto left = ctx.client.call("/api/timer/get", {}, std::nullopt, &raw);
  if (!left) return report(left.failure());
  if (ctx.json_output) return emit(raw + "\n") ? kExitOk : kExitService;
  const int64_t n = left->value("seconds", int64_t{0});
  emit(n > 0 ? "the chair turns off in " + left_text(n) + "\n" : "no timer\n");
  return kExitOk;
}

int cmd_history(Context& ctx, bool csv, const std::string& since) {
  std::string raw;
  auto reply = ctx.client.limited(kMaxHistory)
                   .call("/api/history", since.empty() ? std::vector<Param>{} : std::vector<Param>{{"since", since}},
                         std::nullopt, &raw);
  if (!reply) return report(reply.failure());
  if (ctx.json_output) return emit(raw + "\n") ? kExitOk : kExitService;
  // Read again keeping the members' order, so the columns follow the record.
  const ordered entries = ordered::parse(raw, nullptr, false);
  if (!entries.is_array()) return report(Failure{kExitService, "the service's history is not a list"});
  std::string out;
  if (csv) {
    out += "t,time";
    for (const char* column : kChairColumns) out += std::string(",") + column;
    out += '\n';
  } else if (entries.empty()) {
    note("the service has no reports from the last day");
  }
  for (const auto& entry : entries) {
    const int64_t t = entry.value("t", int64_t{0});
    const ordered chair = entry.contains("chair") ? entry["chair"] : ordered::object();
    if (csv) {
      out += std::to_string(t) + "," + local_time(t);
      for (const char* column : kChairColumns) out += "," + (chair.contains(column) ? csv_value(chair[column]) : "");
      out += '\n';
    } else {
      out += local_time(t) + " " + render_chair(nlohmann::json::parse(chair.dump())) + "\n";
    }
    // Written as it grows: a day of reports is many lines.
    if (out.size() > 64 * 1024) {
      if (!emit(out)) return kExitOk;
      out.clear();
    }
  }
  emit(out);
  return kExitOk;
}

// --since: a time in Unix milliseconds as the service counts it, or how long ago ("10m").
Result<std::string, Failure> since_param(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) return text;
  auto ago = parse_duration(text);
  if (!ago) return Failure{kExitUsage, "give a time in Unix milliseconds, or how long ago: 10m, 1h, 24h"};
  const auto now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  return std::to_string(now - *ago * 1000);
}

}  // namespace

Result<int64_t, Failure> parse_duration(std::string_view text) {
  const Failure wrong{kExitUsage, "give the time as 30m, 90s, 2h or 1h30m, at most 24h"};
  int64_t total = 0;
  size_t i = 0;
  if (text.empty()) return wrong;
  while (i < text.size()) {
    int64_t number = 0;
    const size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && number <= kLongestTimer)
      number = number * 10 + (text[i++] - '0');
    if (i == digits || i == text.size()) return wrong;
    switch (text[i++]) {
      case 'h': number *= 3600; break;
      case 'm': number *= 60; break;
      case 's': break;
      default: return wrong;
    }
    total += number;
    if (total > kLongestTimer) return wrong;
  }
  if (total < 1) return wrong;
  return total;
}

void add_session_commands(CLI::App& app, std::function<int(Context&)>& command) {
  auto args = std::make_shared<SessionArgs>();

  auto* timer =
      app.add_subcommand("timer", "turn the chair off after a while: timer 30m, timer cancel; alone, the time left");
  timer->add_option("TIME", args->timer,
                    "how long until the chair is turned off (30m, 90s, 2h, 1h30m; at most 24h), or cancel");
  timer->callback([args, &command] {
    int64_t seconds = 0;
    if (!args->timer.empty() && args->timer != "cancel") {
      auto parsed = parse_duration(args->timer);
      if (!parsed) throw CLI::ValidationError("TIME", parsed.failure().text);
      seconds = *parsed;
    }
    command = [args, seconds](Context& ctx) { return cmd_timer(ctx, args->timer, seconds); };
  });

  auto* history = app.add_subcommand("history", "the chair's reports of the last day, oldest first");
  history->add_flag("--csv", args->csv, "comma-separated values with a header line");
  history->add_option("--since", args->since, "only newer reports: Unix milliseconds, or how long ago (10m, 1h)");
  history->callback([args, &command] {
    std::string since;
    if (!args->since.empty()) {
      auto parsed = since_param(args->since);
      if (!parsed) throw CLI::ValidationError("--since", parsed.failure().text);
      since = *parsed;
    }
    command = [args, since](Context& ctx) { return cmd_history(ctx, args->csv, since); };
  });

  auto* record =
      app.add_subcommand("record", "save the session's events with their times, for a bug report or a replay");
  record->add_option("FILE", args->record.file, "where to write the recording (replaced)")->required();
  record->add_flag("--mask", args->record.mask, "replace the chairs' addresses and names");
  record->add_option("--seconds", args->record.seconds, "stop after this long (default: at Ctrl-C)")
      ->check(CLI::Range(0.1, 86400.0));
  record->callback([args, &command] { command = [args](Context& ctx) { return cmd_record(ctx, args->record); }; });
}

}  // namespace chairctl
