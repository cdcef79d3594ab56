// Windows text helpers: UTF-8 ⇄ UTF-16 and the system's message for an error code.
// Built on Windows only.
#pragma once

#include <string>
#include <string_view>

namespace chair::sys {

std::wstring utf8_to_wide(std::string_view text);
std::string wide_to_utf8(std::wstring_view text);
// The system's message for a Win32 error or HRESULT code, as UTF-8 without the trailing
// line break; empty when the system has none.
std::string system_message(unsigned long code);

}  // namespace chair::sys
