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

nlohmann::json response(const CaptureResult& result) {
  if (const auto* reason = std::get_if<Reason>(&result)) return refused(*reason);
  return accepted("token", std::get<Captured>(result).token);
}

nlohmann::json response(const InsertResult& result) {
  if (const auto* reason = std::get_if<Reason>(&result)) return refused(*reason);
  switch (std::get<Delivery>(result)) {
    case Delivery::kConfirmed:
    case Delivery::kTypedConfirmed:
      // The host learns that the text is there, not which way it went.
      return accepted();
    case Delivery::kSentUnverified:
      return accepted("delivery", "sent-unverified");
  }
  return refused(Reason::kWriteUnconfirmed);  // unreachable: every enumerator is listed above
}

}  // namespace caretsafe
