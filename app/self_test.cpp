#include "app/self_test.h"

#include <cstdio>
#include <cstdlib>

#include "insertion/digest.h"
#include "insertion/terminal_text.h"
#include "probe/policy.h"

namespace caretsafe {

std::optional<int> firstFailingSelfTestCheck() {
  const std::u16string_view hebrew = u"\u05E9\u05DC\u05D5\u05DD";
  const std::u16string_view hebrewBang = u"\u05E9\u05DC\u05D5\u05DD!";
  const std::u16string_view risky = u"\u05E9\u05DC\u05D5\u05DD\nwhoami\r\x1B\t\u0085\u2028";
  const std::u16string_view safe = u"\u05E9\u05DC\u05D5\u05DD whoami";

  if (refusal("AXButton", "", true, true, 0) != kRefusalUnsupportedField) return 1;
  if (refusal("AXTextArea", "", false, true, 0) != kRefusalReadOnly) return 2;
  if (refusal("AXTextArea", "", true, true, 3) != kRefusalSelectionNotEmpty) return 3;
  if (refusal("AXTextField", "", true, true, 0).has_value()) return 4;
  if (refusal("AXTextField", "AXSecureTextField", true, true, 0) != kRefusalSecureField) return 5;
  if (digest(hebrew) == digest(hebrewBang)) return 6;
  if (terminalText(risky) != safe) return 7;
  return std::nullopt;
}

void runSelfTest() {
  if (firstFailingSelfTestCheck().has_value()) std::_Exit(EXIT_FAILURE);
  std::fwrite(kSelfTestLine.data(), 1, kSelfTestLine.size(), stdout);
  std::exit(EXIT_SUCCESS);  // flushes standard output
}

}  // namespace caretsafe
