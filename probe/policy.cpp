#include "probe/policy.h"

#include <algorithm>
#include <iterator>

namespace caretsafe {

std::optional<std::string_view> refusal(std::string_view role, std::string_view subrole,
                                        bool enabled, bool writable, std::int64_t length) {
  if (subrole == kSecureSubrole) return kRefusalSecureField;
  if (std::find(std::begin(kEditableRoles), std::end(kEditableRoles), role) ==
      std::end(kEditableRoles)) {
    return kRefusalUnsupportedField;
  }
  if (!enabled || !writable) return kRefusalReadOnly;
  if (length != 0) return kRefusalSelectionNotEmpty;
  return std::nullopt;
}

}  // namespace caretsafe
