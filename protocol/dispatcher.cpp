#include "protocol/dispatcher.h"

#include "insertion/capture.h"
#include "insertion/insert.h"
#include "protocol/responses.h"

namespace caretsafe {

std::string_view actionWord(const nlohmann::json& request) {
  const auto it = request.find("action");
  if (it == request.end() || !it->is_string()) return {};
  return it->get_ref<const std::string&>();
}

nlohmann::json handle(const nlohmann::json& request, Platform& platform, TargetSlot& target) {
  const std::string_view action = actionWord(request);
  if (action == "clear") {
    target.empty();
    return accepted();
  }
  if (action == "status") return accepted("trusted", platform.isProcessTrusted());
  if (!platform.isProcessTrusted()) {
    target.empty();
    return refused(Reason::kPermissionRequired);
  }
  if (action == "capture") return capture(platform, target);
  if (action == "insert") return insert(request, platform, target);
  return refused(Reason::kInvalidCommand);
}

}  // namespace caretsafe
