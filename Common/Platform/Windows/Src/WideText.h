#pragma once

#include <string>
#include <string_view>

namespace brondal::platform {

// The system's own texts are UTF-16; the system's code passes UTF-8 everywhere. Invalid
// sequences become U+FFFD rather than failing, so a path with a stray byte still names
// something recognisable in a log.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

}  // namespace brondal::platform
