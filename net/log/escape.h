// Text that the task or a frame supplies, made safe to show: a terminal or a log reader sees
// no control byte of it, only its escape.
#pragma once

#include <string>
#include <string_view>

namespace netp {

// text with every control byte (below 0x20, and 0x7f) but those in keep written as \xNN
// ("\x1b"), so that it can neither move a terminal's cursor nor begin a line of its own.
std::string escapeControls(std::string_view text, std::string_view keep = {});

}  // namespace netp
