#include "protocol/dispatcher.h"

#include "insertion/capture.h"
#include "insertion/insert.h"
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
  if (action == "capture") {
    // Only the JSON value true turns typing on; anything else is the default capture.
    const auto allow = request.find("allowTyping");
    const bool allowTyping = allow != request.end() && allow->is_boolean() && allow->get<bool>();
    return response(capture(platform, target, CaptureOptions{.allowTyping = allowTyping}));
  }
  if (action == "insert") {
    const InsertRequest insertRequest{.token = stringMember(request, "token"),
                                      .text = stringMember(request, "text")};
    return response(insert(insertRequest, platform, target));
  }
  return refused(Reason::kInvalidCommand);
}

}  // namespace caretsafe
