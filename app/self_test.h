// The self-test: seven fixed checks of the insertion policy, the fingerprint and the
// terminal-safe text, run through the same functions the request path uses. It touches no
// platform service, not even the permission check.
#pragma once

#include <optional>
#include <string_view>

#include "probe/policy.h"

namespace caretsafe {

inline constexpr std::string_view kSelfTestLine =
    "Native insertion policy: 7 checks passed; no accessibility reads or writes performed.\n";

// The text the self-test knows a policy refusal by, e.g. "read-only".
std::string_view refusalText(Refusal refusal);

// Runs the checks in order and stops at the first that fails; returns its number (1-7), or
// nothing when all pass.
std::optional<int> firstFailingSelfTestCheck();

// Runs the checks; writes the self-test line and exits with status 0 when all pass, or exits
// at once with a failure status and no output when one fails.
[[noreturn]] void runSelfTest();

}  // namespace caretsafe
