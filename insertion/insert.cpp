#include "insertion/insert.h"

#include <string>

#include "insertion/ax_write.h"
#include "insertion/capture.h"
#include "insertion/digest.h"
#include "insertion/keystrokes.h"
#include "insertion/typed_field.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "text/utf.h"

namespace caretsafe {

InsertResult insert(const InsertRequest& request, Platform& platform, TargetSlot& target) {
  const std::optional<Target> record = target.take();
  if (!record) return Reason::kNoTarget;

  if (!request.token || *request.token != record->token) return Reason::kNoTarget;

  // A negative age (the clock was set back) passes; anything that is not a number below the
  // bound (a clock gone wrong) does not.
  const double age = platform.now() - record->time;
  if (!(age < kMaxCaptureAge)) return Reason::kExpired;

  if (!request.text) return Reason::kInvalidText;
  const std::u16string text = text::utf16FromUtf8(*request.text);
  if (text.empty() || text.size() > kMaxInsertUnits) return Reason::kInvalidText;

  const std::optional<Focus> focus = focused(platform);
  if (!focus || focus->pid != record->pid) return Reason::kTargetChanged;
  if (!platform.elementsEqual(focus->element, record->element)) return Reason::kTargetChanged;
  const std::optional<Inspection> field =
      inspect(platform, focus->element, record->terminal,
              typingCheck(platform, focus->pid, record->allowTyping && !record->terminal));
  if (!field || field->caret != record->caret) return Reason::kTargetChanged;
  // A field that changed its way of taking text is not the field that was captured.
  if (field->typed != record->typed || field->lateWrite != record->lateWrite) {
    return Reason::kTargetChanged;
  }
  if (digest(field->value) != record->hash) return Reason::kTargetChanged;

  if (record->terminal) return typeText(platform, focus->element, focus->pid, text);
  // Typed or written, never both: a write applied late and typed keys would insert it twice.
  if (record->typed) {
    return typeIntoField(platform, focus->element, focus->pid, field->value, field->caret.location,
                         text);
  }
  return writeText(platform, focus->element, field->value, field->caret.location, text,
                   record->lateWrite ? ReadBack::kUntilHeld : ReadBack::kAtOnce);
}

}  // namespace caretsafe
