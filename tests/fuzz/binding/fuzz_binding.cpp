// Feeds arbitrary text to the binding and initial-settings readers. Whatever they accept
// must survive a save: the file text written for the record reads back as the same record,
// and writing that again gives the same text.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bind/binding_file.h"
#include "common/text.h"

namespace {

using namespace chair;
using namespace chair::bind;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

void check_round_trip(const BindConfig& record) {
  const std::string text = binding_file_text(record);
  check(is_valid_utf8(text), "file text is UTF-8");
  const auto back = parse_binding(text);
  if (!back) std::fprintf(stderr, "file text refused: %s\n%s\n", back.error().c_str(), text.c_str());
  check(back.ok(), "file text reads back");
  check(*back == record, "file text reads back as the same record");
  check(binding_file_text(*back) == text, "writing again gives the same text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto record = parse_binding(text)) check_round_trip(*record);

  if (auto init = parse_init_config(text)) {
    BindConfig record;
    record.init = *init;
    check_round_trip(record);
  }
  return 0;
}
