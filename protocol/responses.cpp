#include "protocol/responses.h"

#include <string>

namespace caretsafe {

std::string_view reasonCode(Reason reason) {
  switch (reason) {
    case Reason::kInvalidCommand:
      return "invalid-command";
    case Reason::kPermissionRequired:
      return "permission-required";
    case Reason::kUnsupportedField:
      return "unsupported-field";
    case Reason::kNoTarget:
      return "no-target";
    case Reason::kExpired:
      return "expired";
    case Reason::kInvalidText:
      return "invalid-text";
    case Reason::kTargetChanged:
      return "target-changed";
    case Reason::kModifierHeld:
      return "modifier-held";
    case Reason::kWriteUnconfirmed:
      return "write-unconfirmed";
  }
  return "invalid-command";  // unreachable: every enumerator is listed above
}

nlohmann::json refused(Reason reason) {
  return {{"ok", false}, {"reason", std::string(reasonCode(reason))}};
}

nlohmann::json accepted() {
  return {{"ok", true}};
}

nlohmann::json accepted(std::string_view member, nlohmann::json value) {
  nlohmann::json response = accepted();
  response[std::string(member)] = std::move(value);
  return response;
}

}  // namespace caretsafe
