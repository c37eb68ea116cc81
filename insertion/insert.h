// The "insert" action: validation against the capture, then delivery.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "insertion/outcome.h"
#include "insertion/target.h"
#include "platform/platform.h"

namespace caretsafe {

// A capture may be used for at most this long, in wall-clock seconds.
inline constexpr double kMaxCaptureAge = 600.0;
// The longest text an insert request may carry, in UTF-16 code units.
inline constexpr std::size_t kMaxInsertUnits = 60'000;

// What an insert request carries, as far as insert reads it: each member is empty when the
// request holds no string under that name. Both are borrowed from the request.
struct InsertRequest {
  std::optional<std::string_view> token;
  std::optional<std::string_view> text;  // UTF-8
};

// Takes the capture out of the slot (it is used up whatever happens), checks in order the
// token, the capture's age, the text, the focus (same pid, same element), the field, the
// caret and the value's fingerprint, and hands over to the accessibility write or, for a
// terminal, to keystroke delivery; a field captured as taking typed keys only is typed into
// and read back.
InsertResult insert(const InsertRequest& request, Platform& platform, TargetSlot& target);

}  // namespace caretsafe
