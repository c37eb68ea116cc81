#include "protocol/dispatcher.h"

#include "insertion/capture.h"
#include "insertion/insert.h"
#include "protocol/api_disabled_watch.h"
#include "protocol/responses.h"

namespace caretsafe {
namespace {

// The member when it is a JSON string; nothing otherwise.
std::optional<std::string_view> stringMember(const nlohmann::json& request, const char* name) {
  const auto it = request.find(name);
  if (it == request.end() || !it->is_string()) return std::nullopt;
  return it->get_ref<const std::string&>();
}

}  // namespace

std::string_view actionWord(const nlohmann::json& request) {
  return stringMember(request, "action").value_or(std::string_view());
}

nlohmann::json handle(const nlohmann::json& request, Platform& platform, TargetSlot& target) {
  const std::string_view action = actionWord(request);
  if (action == "clear") {
    target.clear();
    return accepted();
  }
  if (action == "status") return accepted("trusted", platform.isProcessTrusted());
  if (!platform.isProcessTrusted()) {
    target.clear();
    return refused(Reason::kPermissionRequired);
  }
  // A permission that the check affirms while the accessibility API refuses every request
  // (kAXErrorAPIDisabled) is answered as a refused gate: the host must have it granted again.
  ApiDisabledWatch watched(platform);
  nlohmann::json answer;
  if (action == "capture") {
    // Only the JSON value true turns typing on; anything else is the default capture.
    const auto allow = request.find("allowTyping");
    const bool allowTyping = allow != request.end() && allow->is_boolean() && allow->get<bool>();
    answer = response(capture(watched, target, CaptureOptions{.allowTyping = allowTyping}));
  } else if (action == "insert") {
    const InsertRequest insertRequest{.token = stringMember(request, "token"),
                                      .text = stringMember(request, "text")};
    answer = response(insert(insertRequest, watched, target));
  } else {
    return refused(Reason::kInvalidCommand);
  }
  // Except once a write or a key may have reached the field: then "write-unconfirmed" stays, so
  // that the host does not take the text for undelivered and insert it again.
  if (watched.apiDisabled() && answer != refused(Reason::kWriteUnconfirmed)) {
    target.clear();
    return refused(Reason::kPermissionRequired);
  }
  return answer;
}

}  // namespace caretsafe
