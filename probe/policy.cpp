#include "probe/policy.h"

#include <algorithm>
#include <iterator>

namespace caretsafe {

bool writable(const SettableAnswer& selectedTextSettable, bool terminal) {
  return terminal || (selectedTextSettable.error == kAxSuccess && selectedTextSettable.settable);
}

std::optional<Refusal> refusal(const FieldState& field) {
  if (field.subrole == kSecureSubrole) return Refusal::kSecureField;
  if (std::find(std::begin(kEditableRoles), std::end(kEditableRoles), field.role) ==
      std::end(kEditableRoles)) {
    return Refusal::kUnsupportedField;
  }
  if (!field.enabled || !field.writable) return Refusal::kReadOnly;
  if (field.selectionLength != 0) return Refusal::kSelectionNotEmpty;
  return std::nullopt;
}

}  // namespace caretsafe
