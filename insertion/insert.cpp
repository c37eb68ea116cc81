#include "insertion/insert.h"

#include <string>

#include "insertion/ax_write.h"
#include "insertion/digest.h"
#include "insertion/keystrokes.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "protocol/responses.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

const std::string* stringMember(const nlohmann::json& request, const char* name) {
  const auto it = request.find(name);
  return it != request.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

}  // namespace

nlohmann::json insert(const nlohmann::json& request, Platform& platform, TargetSlot& target) {
  const std::optional<Target> record = target.take();
  if (!record) return refused(Reason::kNoTarget);

  const std::string* token = stringMember(request, "token");
  if (token == nullptr || *token != record->token) return refused(Reason::kNoTarget);

  // A negative age (the clock was set back) passes; anything that is not a number below the
  // bound (a clock gone wrong) does not.
  const double age = platform.now() - record->time;
  if (!(age < kMaxCaptureAge)) return refused(Reason::kExpired);

  const std::string* textMember = stringMember(request, "text");
  if (textMember == nullptr) return refused(Reason::kInvalidText);
  const std::u16string text = text::utf16FromUtf8(*textMember);
  if (text.empty() || text.size() > kMaxInsertUnits) return refused(Reason::kInvalidText);

  const std::optional<Focus> focus = focused(platform);
  if (!focus || focus->pid != record->pid) return refused(Reason::kTargetChanged);
  if (!platform.elementsEqual(focus->element, record->element)) {
    return refused(Reason::kTargetChanged);
  }
  const std::optional<Inspection> field = inspect(platform, focus->element, record->terminal);
  if (!field || field->caret != record->range) return refused(Reason::kTargetChanged);
  if (digest(field->value) != record->hash) return refused(Reason::kTargetChanged);

  if (record->terminal) return typeText(platform, focus->element, focus->pid, text);
  return writeText(platform, focus->element, field->value, field->caret.location, text);
}

}  // namespace caretsafe
