// Text that the task or a frame supplies, made safe to show: a terminal or a log reader sees
// no control byte of it, only its escape.
#pragma once

#include <string>
#include <string_view>

namespace netp {

// text with every control byte (below 0x20, and 0x7f) but those in keep written as \xNN
// ("\x1b"), so that it can neither move a terminal's cursor nor begin a line of its own; so
// are the bytes of a C1 control (U+0080-U+009F) and those of no valid UTF-8 sequence, which
// terminals and parsers of UTF-8 (a metrics collector's) take for other things.
std::string escapeControls(std::string_view text, std::string_view keep = {});

}  // namespace netp
