// Text that came from outside the program (an archive's names, rows and
// definitions, a server message quoting them) as it may be shown on a
// terminal or written into an entry.
#pragma once

#include <string>
#include <string_view>

namespace vaultrun {

// The text with every control character (C0, DEL, and C1 written as UTF-8)
// and every byte that is not part of a UTF-8 character written as \xHH, so
// that no escape sequence reaches a terminal and no line break splits a
// message. Other characters, and the backslash, stand as they are.
std::string EscapeControl(std::string_view text);

}  // namespace vaultrun
