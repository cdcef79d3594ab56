// Recording a session: the service's event stream with the time each record arrived, as JSON
// lines that chair-sim --replay plays again (docs/recording.md has the format).
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/chairctl/commands.h"

namespace chairctl {

struct RecordRequest {
  std::string file;
  bool mask = false;
  double seconds = 0;  // 0: until Ctrl-C or the end of the stream
};
int cmd_record(Context& ctx, const RecordRequest& request);

// Replaces the chairs' addresses and names in a session's records, the same way in every
// record: an address becomes 02:00:00:00:00:01, 02:00:00:00:00:02, ... in the order they first
// appear (in every form: with ":", "_" or "-" between the bytes, or none), a name becomes
// "TAMRO masked 1", ... . Names are learnt from the records that carry them (devices, the
// connected status, the binding) and from the log lines that name a chair.
class SessionMask {
 public:
  // Learns from one record (the JSON text as the service sent it).
  void learn(const std::string& record);
  // The record with everything learnt so far replaced; member order and form are kept.
  std::string apply(const std::string& record) const;

 private:
  void learn_text(const std::string& text);
  void learn_name(const std::string& name);
  void replace_in(std::string& text) const;

  std::map<std::string, std::string> addresses_;            // 12 upper-case hex digits -> masked, same form
  std::vector<std::pair<std::string, std::string>> names_;  // longest first
};

}  // namespace chairctl
