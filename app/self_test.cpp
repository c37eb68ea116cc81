#include "app/self_test.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "insertion/digest.h"
#include "insertion/terminal_text.h"
#include "probe/policy.h"

namespace caretsafe {

std::string_view refusalText(Refusal refusal) {
  switch (refusal) {
    case Refusal::kSecureField:
      return "secure-field";
    case Refusal::kUnsupportedField:
      return "unsupported-field";
    case Refusal::kReadOnly:
      return "read-only";
    case Refusal::kSelectionNotEmpty:
      return "selection-not-empty";
  }
  return "unsupported-field";  // unreachable: every enumerator is listed above
}

std::optional<int> firstFailingSelfTestCheck() {
  const std::u16string_view hebrew = u"\u05E9\u05DC\u05D5\u05DD";
  const std::u16string_view hebrewBang = u"\u05E9\u05DC\u05D5\u05DD!";
  const std::u16string_view risky = u"\u05E9\u05DC\u05D5\u05DD\nwhoami\r\x1B\t\u0085\u2028";
  const std::u16string_view safe = u"\u05E9\u05DC\u05D5\u05DD whoami";

  // Checks 1 to 5: the insertion policy, by the texts of its refusals.
  struct PolicyCheck {
    FieldState field;
    std::optional<std::string_view> refusal;
  };
  const PolicyCheck policyChecks[] = {
      {{.role = "AXButton", .subrole = "", .enabled = true, .writable = true, .selectionLength = 0},
       "unsupported-field"},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = false,
        .writable = true,
        .selectionLength = 0},
       "read-only"},
      {{.role = "AXTextArea",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 3},
       "selection-not-empty"},
      {{.role = "AXTextField",
        .subrole = "",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       std::nullopt},
      {{.role = "AXTextField",
        .subrole = "AXSecureTextField",
        .enabled = true,
        .writable = true,
        .selectionLength = 0},
       "secure-field"},
  };
  for (std::size_t i = 0; i < std::size(policyChecks); ++i) {
    const std::optional<Refusal> found = refusal(policyChecks[i].field);
    const std::optional<std::string_view> text =
        found ? std::optional(refusalText(*found)) : std::nullopt;
    if (text != policyChecks[i].refusal) return static_cast<int>(i) + 1;
  }
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
