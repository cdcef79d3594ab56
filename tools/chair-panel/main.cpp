#include "tools/chair-panel/panel.h"
#include "tools/chair-panel/web_files.h"

int main(int argc, char** argv) {
  const auto parsed = chair::panel::parse_arguments(argc, argv);
  if (!parsed.options) return parsed.exit_code;
  return chair::panel::run_panel(*parsed.options, chair::panel::web_files());
}
