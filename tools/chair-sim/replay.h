// A chair that plays a recorded session again: it answers each frame written to it with what
// the recorded chair sent after the same frame, at the recorded pace. The recording is the
// JSON-lines file `chairctl record` writes (docs/recording.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "sim_options.h"
#include "tools/chair-model/chair_model.h"

namespace chair::sim {

// Answers come at most this long after the frame they answer, however long the recorded chair
// took: a recording with pauses in it still plays in test time.
inline constexpr std::chrono::milliseconds kLongestAnswerDelay{2000};

struct ReplayAnswer {
  std::chrono::milliseconds delay{0};  // after the write it answers
  Bytes frame;
};

// One frame the recorded service wrote, and what the chair sent back after it.
struct ReplayExchange {
  Bytes written;
  std::vector<ReplayAnswer> answers;
};

struct ReplayScript {
  std::string address;  // the recorded chair's, display form
  std::string name;
  std::vector<ReplayExchange> exchanges;  // in the recorded order
};

// Reads a recording. Fails with the line that could not be read, or when the recording shows
// no chair that connected.
Result<ReplayScript> parse_replay(const std::string& text);
Result<ReplayScript> load_replay(const std::string& path);

// Adds the chair of `options.replay_file` (when given) to the options' devices.
Status add_replayed_chair(SimOptions& options);

// Follows the recorded conversation. A written frame is looked for from the place the last one
// was found on, so a frame the service sends again later gets the answer the chair gave it
// then; frames of the recording that the service does not send now (a poll that came at
// another moment) are passed over. A frame found only earlier gets its latest earlier answer;
// one the recording never shows gets none. Used on the simulator's scheduler thread only.
class ReplayChair {
 public:
  explicit ReplayChair(std::shared_ptr<const ReplayScript> script) : script_(std::move(script)) {}
  std::vector<ReplayAnswer> on_write(std::span<const uint8_t> written);

 private:
  std::shared_ptr<const ReplayScript> script_;
  size_t cursor_ = 0;
};

}  // namespace chair::sim
