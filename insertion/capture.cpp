#include "insertion/capture.h"

#include "insertion/digest.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "probe/web_field.h"

namespace caretsafe {

TypingCheck typingCheck(Platform& platform, Pid pid, bool allowTyping) {
  if (!allowTyping) return {};
  const std::optional<RunningApp> app = platform.runningApplication(pid);
  return {.allowed = true, .webApplication = app && treeSwitch(platform, *app).has_value()};
}

CaptureResult capture(Platform& platform, TargetSlot& target, const CaptureOptions& options) {
  target.clear();
  std::optional<Focus> focus = focused(platform);
  // A browser or an Electron application may have no tree to show until it is asked for one.
  if (!focus && options.allowTyping) focus = wokenFocus(platform);
  if (!focus) return Reason::kUnsupportedField;
  const bool terminal = isTerminal(platform, focus->pid);
  const std::optional<Inspection> field =
      inspect(platform, focus->element, terminal,
              typingCheck(platform, focus->pid, options.allowTyping && !terminal));
  if (!field) return Reason::kUnsupportedField;
  // A field that would be typed into cannot take keys while secure event input is on.
  if ((terminal || field->typed) && platform.secureEventInput()) return Reason::kUnsupportedField;

  std::string token = platform.newUuid();
  std::string hash = digest(field->value);
  const double time = platform.now();  // read after token and fingerprint: the age counts from here
  target.store(Target{.element = std::move(focus->element),
                      .terminal = terminal,
                      .allowTyping = options.allowTyping,
                      .typed = field->typed,
                      .pid = focus->pid,
                      .caret = Range{field->caret.location, 0},
                      .hash = std::move(hash),
                      .time = time,
                      .token = token});
  return Captured{std::move(token)};
}

}  // namespace caretsafe
