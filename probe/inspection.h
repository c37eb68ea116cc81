// Field inspection: what capture and insertion need to know about a focused element, and
// whether text may be inserted there.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "probe/web_field.h"

namespace caretsafe {

// The longest field value that is captured or written to, in UTF-16 code units.
inline constexpr std::size_t kMaxFieldUnits = 1'000'000;

// What a capture that allows typing looks for, beyond an ordinary inspection.
struct TypingCheck {
  bool allowed = false;  // off: the field is inspected exactly as always
  // How the application's web fields take text (a browser's, an Electron application's).
  WebFields webFields = WebFields::kNone;
};

struct Inspection {
  std::u16string value;  // the field's text
  Range caret;           // 0 <= location <= value length; length 0
  bool typed = false;    // the field takes text only as typed keys (asked only when allowed)
  // The field takes a write that shows only after the call has returned (a Gecko web field):
  // its read-back is awaited. Asked only when typing is allowed.
  bool lateWrite = false;
};

// The field's value and caret, or nothing when the element is not a field the program may
// insert into. Requests, in this order, each made only when the ones before it allow: the
// settable test of "AXSelectedText" (which the insertion policy waives for a terminal), the
// selection, "AXRole", "AXSubrole", "AXEnabled" (these three fall back to defaults), then
// "AXValue" only for a field the insertion policy accepts, so a secure field's value is never
// asked for. The element is borrowed.
//
// With typing allowed (never for a terminal), right after the settable test the platform is
// asked whether the field takes text only as typed keys, and, in a web application, whether the
// field lies in a web page. Where web fields take keys only, such a field counts as writable
// and is marked `typed`, whatever its settable test answered; a combo box there that takes text
// (its selection settable) counts as a text field; and an input method's composition in it
// ("AXMarkedTextRange" a range that is not empty, where the field offers it) refuses it, since
// keys would join the composition instead of the text. Where web fields take a late write, such
// a field is marked `lateWrite` and must pass the settable test as any other. Everything else is
// as without it: the policy still refuses a secure, disabled or selected field, before its value
// is asked for.
std::optional<Inspection> inspect(Platform& platform, const Element& element, bool terminal = false,
                                  const TypingCheck& typing = {});

// The range an attribute read gave: none when the read failed or its value is no range (or
// one the platform would not hand over).
std::optional<Range> rangeOf(const AttributeRead& read);

// The element's selection ("AXSelectedTextRange") when it is a range, exactly as read.
std::optional<Range> selection(Platform& platform, const Element& element);

// One attribute: nothing when the read fails, otherwise what came back (which may be no
// value). The caller owns the result.
std::optional<AttributeValue> attr(Platform& platform, const Element& element,
                                   std::string_view name);

}  // namespace caretsafe
