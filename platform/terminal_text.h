#pragma once

// The one filter that text from a server passes before it reaches a
// terminal: what mitu-ftp and mitu-check print of names, paths, replies and
// error texts. Files written are never filtered.

#include <string>
#include <string_view>

namespace platform {

// `text` as it may be shown: valid UTF-8 kept; C0 controls (line ends and
// tabs included), DEL and C1 controls shown as "\x1b", one escape per byte;
// every byte that is not part of valid UTF-8 escaped the same way. Callers
// split multi-line text into lines first.
std::string terminalText(std::string_view text);

} // namespace platform
