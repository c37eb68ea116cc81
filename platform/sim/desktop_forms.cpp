#include "platform/sim/desktop_forms.h"

#include <array>
#include <charconv>

namespace caretsafe::sim {
namespace {

using nlohmann::json;

constexpr std::string_view kAppPrefix = "app:";

// The one form name an object holds, or nothing when it holds none or several.
template <std::size_t N>
std::optional<std::string_view> soleName(const json& object,
                                         const std::array<std::string_view, N>& names) {
  std::optional<std::string_view> found;
  for (const std::string_view name : names) {
    if (member(object, name) == nullptr) continue;
    if (found) return std::nullopt;
    found = name;
  }
  return found;
}

std::optional<AxError> errorCode(const json& value) {
  const auto code = integerOf<AxError>(value);
  if (!code || *code == kAxSuccess) return std::nullopt;  // 0 would be a failure reading as success
  return code;
}

bool isPair(const json& value, bool integers) {
  if (!value.is_array() || value.size() != 2) return false;
  for (const json& item : value) {
    if (integers ? !integerOf<std::int64_t>(item) : !item.is_number()) return false;
  }
  return true;
}

bool eachMember(const json& object, bool (*valid)(const json&)) {
  if (!object.is_object()) return false;
  for (const json& item : object) {
    if (!valid(item)) return false;
  }
  return true;
}

bool isAttributes(const json& value) {
  return eachMember(value, [](const json& v) { return attributeForm(v).has_value(); });
}

// Checks a member when it is present; absent members take their default.
bool optionalMember(const json& object, std::string_view name, bool (*valid)(const json&)) {
  const json* value = member(object, name);
  return value == nullptr || valid(*value);
}

bool isApp(const json& app) {
  return app.is_object() &&
         optionalMember(app, "bundleId",
                        [](const json& v) { return v.is_string() || v.is_null(); }) &&
         optionalMember(app, "hang", [](const json& v) { return v.is_boolean(); }) &&
         optionalMember(app, "attributes", isAttributes);
}

bool isElement(const json& element) {
  const json* app = member(element, "app");
  return app != nullptr && pidOf(*app) && optionalMember(element, "attributes", isAttributes) &&
         optionalMember(element, "settable",
                        [](const json& v) {
                          return eachMember(
                              v, [](const json& s) { return settableForm(s).has_value(); });
                        }) &&
         optionalMember(element, "onWrite", [](const json& v) { return writeMode(v).has_value(); });
}

}  // namespace

std::optional<Pid> pidOf(const json& value) {
  return integerOf<Pid>(value);
}

std::optional<Pid> pidOfKey(std::string_view key) {
  Pid pid = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), pid);
  if (ec != std::errc() || end != key.data() + key.size()) return std::nullopt;
  if (keyOfPid(pid) != key) return std::nullopt;  // only the canonical spelling
  return pid;
}

std::string keyOfPid(Pid pid) {
  return std::to_string(pid);
}

const json* member(const json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(std::string(name));
  return it == object.end() ? nullptr : &*it;
}

json* member(json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(std::string(name));
  return it == object.end() ? nullptr : &*it;
}

std::optional<AttributeForm> attributeForm(const json& value) {
  using Kind = AttributeForm::Kind;
  AttributeForm form;
  switch (value.type()) {
    case json::value_t::string:
      form.kind = Kind::kText;
      form.text = &value.get_ref<const std::string&>();
      return form;
    case json::value_t::boolean:
      form.kind = Kind::kBoolean;
      form.boolean = value.get<bool>();
      return form;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      form.kind = Kind::kNumber;
      form.number = value.get<double>();
      return form;
    case json::value_t::null:
      form.kind = Kind::kNone;
      return form;
    case json::value_t::object:
      break;
    default:
      return std::nullopt;
  }
  static constexpr std::array<std::string_view, 6> kNames = {"none", "range",   "point",
                                                             "size", "element", "error"};
  const auto name = soleName(value, kNames);
  if (!name) return std::nullopt;
  const json& inner = *member(value, *name);
  if (*name == "none") {
    if (inner != true) return std::nullopt;
    form.kind = Kind::kNone;
  } else if (*name == "range") {
    if (!isPair(inner, true)) return std::nullopt;
    form.kind = Kind::kRange;
    form.range = {*integerOf<std::int64_t>(inner[0]), *integerOf<std::int64_t>(inner[1])};
  } else if (*name == "point" || *name == "size") {
    if (!isPair(inner, false)) return std::nullopt;
    form.kind = *name == "point" ? Kind::kPoint : Kind::kSize;
  } else if (*name == "element") {
    if (!inner.is_string()) return std::nullopt;
    form.kind = Kind::kElement;
    form.text = &inner.get_ref<const std::string&>();
  } else {
    const auto code = errorCode(inner);
    if (!code) return std::nullopt;
    form.kind = Kind::kError;
    form.error = *code;
  }
  return form;
}

std::optional<SettableAnswer> settableForm(const json& value) {
  if (value.is_boolean()) return SettableAnswer{kAxSuccess, value.get<bool>()};
  const json* error = member(value, "error");
  if (error == nullptr) return std::nullopt;
  const auto code = errorCode(*error);
  if (!code) return std::nullopt;
  return SettableAnswer{*code, false};
}

std::optional<WriteMode> writeMode(const json& value) {
  using Kind = WriteMode::Kind;
  WriteMode mode;
  if (value.is_string()) {
    const auto& name = value.get_ref<const std::string&>();
    if (name == "insert") {
      mode.kind = Kind::kInsert;
    } else if (name == "decompose") {
      mode.kind = Kind::kDecompose;
    } else if (name == "alter") {
      mode.kind = Kind::kAlter;
    } else if (name == "deferred") {
      mode.kind = Kind::kDeferred;
    } else if (name == "ignore") {
      mode.kind = Kind::kIgnore;
    } else {
      return std::nullopt;
    }
    return mode;
  }
  static constexpr std::array<std::string_view, 2> kNames = {"limit", "error"};
  const auto name = value.is_object() ? soleName(value, kNames) : std::nullopt;
  if (!name) return std::nullopt;
  const json& inner = *member(value, *name);
  if (*name == "limit") {
    const auto limit = integerOf<std::uint64_t>(inner);
    if (!limit) return std::nullopt;
    mode.kind = Kind::kLimit;
    mode.limit = *limit;
  } else {
    const auto code = errorCode(inner);
    if (!code) return std::nullopt;
    mode.kind = Kind::kError;
    mode.error = *code;
  }
  return mode;
}

std::optional<ScheduleEntry> scheduleEntry(const json& value) {
  static constexpr std::array<std::string_view, 2> kTriggers = {"afterPosts", "afterOps"};
  const auto trigger = value.is_object() ? soleName(value, kTriggers) : std::nullopt;
  if (!trigger) return std::nullopt;
  const auto count = integerOf<std::uint64_t>(*member(value, *trigger));
  const json* patch = member(value, "patch");
  if (!count || patch == nullptr || !patch->is_object()) return std::nullopt;
  ScheduleEntry entry;
  entry.trigger = *trigger == "afterPosts" ? ScheduleEntry::Trigger::kAfterPosts
                                           : ScheduleEntry::Trigger::kAfterOps;
  entry.count = *count;
  entry.patch = patch;
  return entry;
}

bool isValidDesktop(const json& desktop) {
  if (!desktop.is_object()) return false;
  const bool scalarsValid =
      optionalMember(desktop, "trusted", [](const json& v) { return v.is_boolean(); }) &&
      optionalMember(desktop, "ownPid", [](const json& v) { return pidOf(v).has_value(); }) &&
      optionalMember(desktop, "parentPid", [](const json& v) { return pidOf(v).has_value(); }) &&
      optionalMember(desktop, "frontmost",
                     [](const json& v) { return v.is_null() || pidOf(v).has_value(); }) &&
      optionalMember(desktop, "clock", [](const json& v) { return v.is_number(); }) &&
      optionalMember(desktop, "modifiers",
                     [](const json& v) { return integerOf<std::uint64_t>(v).has_value(); }) &&
      optionalMember(desktop, "eventCreations",
                     [](const json& v) { return integerOf<std::uint64_t>(v).has_value(); });
  if (!scalarsValid) return false;

  if (const json* apps = member(desktop, "apps")) {
    if (!apps->is_object()) return false;
    for (const auto& [key, app] : apps->items()) {
      if (!pidOfKey(key) || !isApp(app)) return false;
    }
  }
  if (const json* elements = member(desktop, "elements")) {
    if (!elements->is_object()) return false;
    for (const auto& [id, element] : elements->items()) {
      // Ids beginning with "app:" name the elements the program creates for applications.
      if (std::string_view(id).substr(0, kAppPrefix.size()) == kAppPrefix || !isElement(element)) {
        return false;
      }
    }
  }
  if (const json* schedule = member(desktop, "schedule")) {
    if (!schedule->is_array()) return false;
    for (const json& entry : *schedule) {
      if (!scheduleEntry(entry)) return false;
    }
  }
  return true;
}

}  // namespace caretsafe::sim
