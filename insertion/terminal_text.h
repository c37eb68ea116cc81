// The text a terminal may receive.
#pragma once

#include <string>
#include <string_view>

namespace caretsafe {

// The terminal-safe form of a text: every control character (below U+0020, and U+007F
// through U+009F) and U+2028/U+2029 becomes one U+0020, so nothing typed can end the
// command line or send a control sequence; then white space (Unicode Z*, U+000A-U+000D,
// U+0085) is cut from both ends, scalar by scalar. Everything else passes unchanged; an
// unpaired surrogate passes as U+FFFD. Never longer than its input.
std::u16string terminalText(std::u16string_view text);

}  // namespace caretsafe
