// The forms of the desktop's JSON: what a member means, and whether a whole desktop is valid.
//
// The loader accepts a desktop only when every member it knows has its form; after that,
// merge patches may leave anything anywhere, so the operations read the model through these
// same functions and treat a member without its form as absent (an attribute value without
// its form reads as some other platform object).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace caretsafe::sim {

// An integer of type T held by a JSON number: an integer, or a float with an integral value,
// within T's range.
template <typename T>
std::optional<T> integerOf(const nlohmann::json& value) {
  using Limits = std::numeric_limits<T>;
  // Compared by hand: the libc++ of Xcode before 14.3 has no std::in_range.
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(Limits::max())) return static_cast<T>(v);
  } else if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v < 0 ? Limits::is_signed && v >= static_cast<std::int64_t>(Limits::min())
              : static_cast<std::uint64_t>(v) <= static_cast<std::uint64_t>(Limits::max())) {
      return static_cast<T>(v);
    }
  } else if (value.is_number_float()) {
    const double v = value.get<double>();
    // Bounds as powers of two, exact in a double, the upper one exclusive.
    const double above = std::ldexp(1.0, std::numeric_limits<T>::digits);
    const double least = std::numeric_limits<T>::is_signed ? -above : 0.0;
    if (std::isfinite(v) && std::trunc(v) == v && v >= least && v < above) {
      return static_cast<T>(v);
    }
  }
  return std::nullopt;
}

// A pid: a JSON integer in the signed 32-bit range.
std::optional<Pid> pidOf(const nlohmann::json& value);
// A pid written as an `apps` key: canonical decimal text ("501", "-3", "0"; not "0501", "+5").
std::optional<Pid> pidOfKey(std::string_view key);
// The `apps` key, or the element id after "app:", of a pid.
std::string keyOfPid(Pid pid);

// A member of an object, or null when the value is not an object or lacks it.
const nlohmann::json* member(const nlohmann::json& object, std::string_view name);
nlohmann::json* member(nlohmann::json& object, std::string_view name);

// One attribute value as the table of forms reads it.
struct AttributeForm {
  enum class Kind { kText, kBoolean, kNumber, kNone, kRange, kPoint, kSize, kElement, kError };
  Kind kind = Kind::kNone;
  const std::string* text = nullptr;  // kText: the model text; kElement: the element id
  bool boolean = false;
  double number = 0;
  Range range;
  AxError error = kAxSuccess;
};
// The form of an attribute value, or nothing when it has none. An object form has exactly one
// of the form names (`none`, `range`, `point`, `size`, `element`, `error`); other members are
// ignored. The pointers refer into `value`.
std::optional<AttributeForm> attributeForm(const nlohmann::json& value);

// An answer of the settable test: true, false or {"error": CODE}.
std::optional<SettableAnswer> settableForm(const nlohmann::json& value);

// What a write of "AXSelectedText" does.
struct WriteMode {
  enum class Kind { kInsert, kDecompose, kAlter, kLimit, kDeferred, kIgnore, kError };
  Kind kind = Kind::kInsert;
  std::uint64_t limit = 0;     // kLimit
  AxError error = kAxSuccess;  // kError
};
std::optional<WriteMode> writeMode(const nlohmann::json& value);

// A schedule entry: exactly one trigger, a count, and an object to merge in.
struct ScheduleEntry {
  enum class Trigger { kAfterPosts, kAfterOps };
  Trigger trigger = Trigger::kAfterOps;
  std::uint64_t count = 0;
  const nlohmann::json* patch = nullptr;  // refers into the entry
};
std::optional<ScheduleEntry> scheduleEntry(const nlohmann::json& value);

// Whether the value is a desktop as the file must give it. Unknown members are ignored.
bool isValidDesktop(const nlohmann::json& desktop);

}  // namespace caretsafe::sim
