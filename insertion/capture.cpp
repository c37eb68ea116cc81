#include "insertion/capture.h"

#include "insertion/digest.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "protocol/responses.h"

namespace caretsafe {

nlohmann::json capture(Platform& platform, TargetSlot& target) {
  target.empty();
  std::optional<Focus> focus = focused(platform);
  if (!focus) return refused(Reason::kUnsupportedField);
  const bool terminal = isTerminal(platform, focus->pid);
  const std::optional<Inspection> field = inspect(platform, focus->element, terminal);
  if (!field) return refused(Reason::kUnsupportedField);

  std::string token = platform.newUuid();
  std::string hash = digest(field->value);
  const double time = platform.now();  // read after token and fingerprint: the age counts from here
  target.store(Target{std::move(focus->element), terminal, focus->pid,
                      Range{field->caret.location, 0}, std::move(hash), time, token});
  return accepted("token", std::move(token));
}

}  // namespace caretsafe
