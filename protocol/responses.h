// The vocabulary of the answers: response shapes and the complete table of reason codes.
// Every "reason" that can reach standard output is one of `Reason`.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace caretsafe {

enum class Reason {
  kInvalidCommand,      // not a request object, or an unknown action under trust
  kPermissionRequired,  // the process is not a trusted accessibility client
  kUnsupportedField,    // capture found no field that may receive text
  kNoTarget,            // no capture held, or the token is not the held capture's
  kExpired,             // the capture is 600 s old or older
  kInvalidText,         // the text is missing, empty or too long (or nothing is left to type)
  kTargetChanged,       // focus, element, field, caret or value changed since the capture
  kModifierHeld,        // Shift, Control, Option or Command held when typing would start
  kWriteUnconfirmed,    // the write was refused or could not be confirmed
};

// The reason code as written on the wire, e.g. "target-changed".
std::string_view reasonCode(Reason reason);

// {"ok": false, "reason": <code>}
nlohmann::json refused(Reason reason);
// {"ok": true}
nlohmann::json accepted();
// {"ok": true, <member>: <value>}: a success carries at most one more member.
nlohmann::json accepted(std::string_view member, nlohmann::json value);

// The answer to a line that is not a request object: {"ok": false, "reason": "invalid-command"}.
inline nlohmann::json defaultRefusal() {
  return refused(Reason::kInvalidCommand);
}

}  // namespace caretsafe
