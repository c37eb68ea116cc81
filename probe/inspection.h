// Field inspection: what capture and insertion need to know about a focused element, and
// whether text may be inserted there.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace caretsafe {

// The longest field value that is captured or written to, in UTF-16 code units.
inline constexpr std::size_t kMaxFieldUnits = 1'000'000;

// What a capture that allows typing looks for, beyond an ordinary inspection.
struct TypingCheck {
  bool allowed = false;         // off: the field is inspected exactly as always
  bool webApplication = false;  // a Chromium-family browser or an Electron application
};

struct Inspection {
  std::u16string value;  // the field's text
  Range caret;           // 0 <= location <= value length; length 0
  bool typed = false;    // the field takes text only as typed keys (asked only when allowed)
};

// The field's value and caret, or nothing when the element is not a field the program may
// insert into. Requests, in this order, each made only when the ones before it allow: the
// settable test of "AXSelectedText" (which the insertion policy waives for a terminal), the
// selection, "AXRole", "AXSubrole", "AXEnabled" (these three fall back to defaults), then
// "AXValue" only for a field the insertion policy accepts, so a secure field's value is never
// asked for. The element is borrowed.
//
// With typing allowed (never for a terminal), right after the settable test the platform is
// asked whether the field takes text only as typed keys, and, in an application whose web
// fields take keys only, whether the field lies in a web page; such a field counts as writable
// and is marked `typed`, whatever its settable test answered. Everything else is as without it:
// the policy still refuses a secure, disabled or selected field, before its value is asked for.
std::optional<Inspection> inspect(Platform& platform, const Element& element, bool terminal = false,
                                  const TypingCheck& typing = {});

// The element's selection ("AXSelectedTextRange") when it is a range, exactly as read.
std::optional<Range> selection(Platform& platform, const Element& element);

// One attribute: nothing when the read fails, otherwise what came back (which may be no
// value). The caller owns the result.
std::optional<AttributeValue> attr(Platform& platform, const Element& element,
                                   std::string_view name);

}  // namespace caretsafe
