#include "insertion/capture.h"

#include <utility>

#include "insertion/digest.h"
#include "probe/focus.h"
#include "probe/inspection.h"
#include "probe/web_field.h"

namespace caretsafe {
namespace {

// A field found in the frontmost application, as inspected.
struct FoundField {
  Focus focus;
  bool terminal = false;
  Inspection field;
};

// The focused element as a field, or nothing when it is none the program may insert into. A
// terminal is never typed into as a field; for any other field, a capture that allows typing
// checks it as `known` says, or as its application's web fields take text.
std::optional<FoundField> fieldOf(Platform& platform, Focus focus, bool allowTyping,
                                  const std::optional<TypingCheck>& known = std::nullopt) {
  const bool terminal = isTerminal(platform, focus.pid);
  const TypingCheck typing = !allowTyping || terminal ? TypingCheck{}
                             : known                  ? *known
                                                      : typingCheck(platform, focus.pid, true);
  std::optional<Inspection> field = inspect(platform, focus.element, terminal, typing);
  if (!field) return std::nullopt;
  return FoundField{std::move(focus), terminal, std::move(*field)};
}

// For a capture that allows typing and found no field: a browser or an Electron application may
// have no tree to show until it is asked for one. Asks the frontmost application for it (once:
// see `treeLooks`) and looks for its field again after each pause, until one is found or the
// looks run out, or the time they stand for has passed (an application that answers each look
// only at the messaging timeout must not stretch the wait). Another application in front ends
// the wait.
std::optional<FoundField> wokenField(Platform& platform, TreeWakes& wakes) {
  const std::optional<RunningApp> app = frontmostOther(platform);
  if (!app) return std::nullopt;
  const std::optional<TreeSwitch> treeSwitchOf = treeSwitch(platform, *app);
  if (!treeSwitchOf) return std::nullopt;
  const int looks = treeLooks(platform, wakes, *app, *treeSwitchOf);
  // The application's web fields are known by now: each look asks only about its focus.
  const TypingCheck typing{.allowed = true, .webFields = treeSwitchOf->fields};
  const double deadline = platform.now() + looks * kWakePause;
  for (int look = 0; look < looks; ++look) {
    if (look > 0 && !(platform.now() < deadline)) break;
    platform.pause(kWakePause);
    std::optional<Focus> focus = focused(platform);
    if (!focus) continue;
    // Another application came to the front: its focus is not what was woken.
    if (focus->pid != app->pid) return std::nullopt;
    // A focus that is no field yet may be a tree still being built (the page's document first).
    if (std::optional<FoundField> found = fieldOf(platform, std::move(*focus), true, typing)) {
      return found;
    }
  }
  return std::nullopt;
}

}  // namespace

TypingCheck typingCheck(Platform& platform, Pid pid, bool allowTyping) {
  if (!allowTyping) return {};
  const std::optional<RunningApp> app = platform.runningApplication(pid);
  const std::optional<TreeSwitch> switchOf = app ? treeSwitch(platform, *app) : std::nullopt;
  return {.allowed = true, .webFields = switchOf ? switchOf->fields : WebFields::kNone};
}

CaptureResult capture(Platform& platform, TargetSlot& target, const CaptureOptions& options) {
  target.clear();
  std::optional<FoundField> found;
  if (std::optional<Focus> focus = focused(platform)) {
    found = fieldOf(platform, std::move(*focus), options.allowTyping);
  }
  if (!found && options.allowTyping) found = wokenField(platform, target.wakes());
  if (!found) return Reason::kUnsupportedField;
  // A field that would be typed into cannot take keys while secure event input is on.
  if ((found->terminal || found->field.typed) && platform.secureEventInput()) {
    return Reason::kUnsupportedField;
  }

  std::string token = platform.newUuid();
  std::string hash = digest(found->field.value);
  const double time = platform.now();  // read after token and fingerprint: the age counts from here
  target.store(Target{.element = std::move(found->focus.element),
                      .terminal = found->terminal,
                      .allowTyping = options.allowTyping,
                      .typed = found->field.typed,
                      .lateWrite = found->field.lateWrite,
                      .pid = found->focus.pid,
                      .caret = Range{found->field.caret.location, 0},
                      .hash = std::move(hash),
                      .time = time,
                      .token = token});
  return Captured{std::move(token)};
}

}  // namespace caretsafe
