// What the actions answer, as this program's own values: the reason for a refusal, the token of
// a capture, the way an insert reached its field. Only protocol/ turns them into response
// objects.
#pragma once

#include <string>
#include <variant>

namespace caretsafe {

// Every reason a request can be refused for, so every "reason" that can reach standard output;
// protocol/ holds the code each one is written as.
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

// A capture that succeeded: the token the host hands back with its insert.
struct Captured {
  std::string token;
  friend bool operator==(const Captured&, const Captured&) = default;
};

// How inserted text reached its field.
enum class Delivery {
  kConfirmed,       // written through the accessibility interface and read back as expected
  kSentUnverified,  // typed into a terminal as keystrokes, which nothing can read back
  kTypedConfirmed,  // typed into a field that takes keys only, and read back as expected
};

using CaptureResult = std::variant<Captured, Reason>;
using InsertResult = std::variant<Delivery, Reason>;

}  // namespace caretsafe
