// The insertion policy: the one rule that says whether a field may receive inserted text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace caretsafe {

// The policy's own reasons for refusing a field. They never reach a response: at capture and
// insert time any refusal simply makes inspection give nothing; only the self-test tells them
// apart.
enum class Refusal {
  kSecureField,
  kUnsupportedField,
  kReadOnly,
  kSelectionNotEmpty,
};

inline constexpr std::string_view kSecureSubrole = "AXSecureTextField";
inline constexpr std::string_view kEditableRoles[] = {"AXTextField", "AXTextArea"};

// What the policy looks at in a field.
struct FieldState {
  std::string_view role;
  std::string_view subrole;  // empty when the field has none
  bool enabled = false;
  bool writable = false;  // see `writable`
  std::int64_t selectionLength = 0;
};

// Whether a field counts as writable, from the settable test of its "AXSelectedText": the test
// must succeed and answer true. A terminal waives it, since keystrokes do not go through that
// attribute (its text view need not report it settable). Pure.
bool writable(const SettableAnswer& selectedTextSettable, bool terminal);

// The first reason to refuse the field, or nothing when it may receive text. Pure. A secure
// subrole is refused before anything else is looked at, then a role that is not editable, then
// a field that is not enabled or not writable, then a selection that is not empty (of either
// sign). Comparisons are exact and case-sensitive.
std::optional<Refusal> refusal(const FieldState& field);

}  // namespace caretsafe
