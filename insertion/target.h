// The record of the latest capture and the slot that holds it: the only state that outlives
// a request.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "probe/web_field.h"

namespace caretsafe {

// One capture: a plain value, never changed after it is built. It keeps its own reference
// to the element, dropped with the record, and only a fingerprint of the field's value.
struct Target {
  Element element;
  bool terminal = false;
  // The capture allowed typing: the host asked for it, and the insert inspects the field the same
  // way.
  bool allowTyping = false;
  // The field takes text only as typed keys, and gets it that way (never written as well).
  bool typed = false;
  // The field is written, and its read-back awaited: the application applies a write only after
  // the call has returned.
  bool lateWrite = false;
  Pid pid = 0;
  Range caret;       // length always 0
  std::string hash;  // digest of the field's value at capture time
  double time = 0;   // wall clock at capture time
  std::string token;
};

// Empty or holding exactly one Target. Touched only on the request thread. Beside it, the one
// other thing a capture leaves for the next: which applications this helper has asked for their
// accessibility tree, and when (never dropped by `clear`: the applications keep their trees).
class TargetSlot {
 public:
  // Drops whatever the slot holds, and with it the record's element reference.
  void clear() { held_.reset(); }
  // Puts a new record in, dropping the one it held.
  void store(Target target) { held_ = std::move(target); }
  // Hands over the record held, if any; the slot is empty afterwards.
  std::optional<Target> take() {
    std::optional<Target> out = std::move(held_);
    held_.reset();
    return out;
  }
  bool holding() const { return held_.has_value(); }
  // The record held, for inspection only.
  const Target* peek() const { return held_ ? &*held_ : nullptr; }
  // The tree switches set so far.
  TreeWakes& wakes() { return wakes_; }

 private:
  std::optional<Target> held_;
  TreeWakes wakes_;
};

}  // namespace caretsafe
