// The vocabulary of the answers: response shapes and the complete table of reason codes. The
// actions answer domain values (insertion/outcome.h); this is where they become JSON.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "insertion/outcome.h"

namespace caretsafe {

// The reason code as written on the wire, e.g. "target-changed".
std::string_view reasonCode(Reason reason);

// {"ok": false, "reason": <code>}
nlohmann::json refused(Reason reason);
// {"ok": true}
nlohmann::json accepted();
// {"ok": true, <member>: <value>}: a success carries at most one more member.
nlohmann::json accepted(std::string_view member, nlohmann::json value);

// A capture's answer: {"ok": true, "token": <token>} or the refusal.
nlohmann::json response(const CaptureResult& result);
// An insert's answer: {"ok": true} for a confirmed write, {"ok": true, "delivery":
// "sent-unverified"} for keystrokes, or the refusal.
nlohmann::json response(const InsertResult& result);

// The answer to a line that is not a request object: {"ok": false, "reason": "invalid-command"}.
inline nlohmann::json defaultRefusal() {
  return refused(Reason::kInvalidCommand);
}

}  // namespace caretsafe
