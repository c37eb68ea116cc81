#include "platform/sim/desktop_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>

#include "text/canonical.h"
#include "text/utf.h"

namespace caretsafe::sim {
namespace {

using nlohmann::json;
using text::LoneSurrogates;

constexpr std::string_view kAppPrefix = "app:";
constexpr std::string_view kValue = "AXValue";
constexpr std::string_view kSelectedTextRange = "AXSelectedTextRange";

const json* member(const json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(std::string(name));
  return it == object.end() ? nullptr : &*it;
}

// The target with an RFC 7386 merge patch applied.
json merged(json target, const json& patch) {
  target.merge_patch(patch);
  return target;
}

json without(json object, std::initializer_list<std::string_view> names) {
  if (object.is_object()) {
    for (const std::string_view name : names) object.erase(std::string(name));
  }
  return object;
}

// An integer of type T held by a JSON number: an integer, or a float with an integral value,
// within T's range. (Compared by hand: the libc++ of Xcode before 14.3 has no std::in_range.)
template <typename T>
std::optional<T> integerOf(const json& value) {
  using Limits = std::numeric_limits<T>;
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
    const double above = std::ldexp(1.0, Limits::digits);
    const double least = Limits::is_signed ? -above : 0.0;
    if (std::isfinite(v) && std::trunc(v) == v && v >= least && v < above) {
      return static_cast<T>(v);
    }
  }
  return std::nullopt;
}

std::optional<Pid> pidOf(const json& value) {
  return integerOf<Pid>(value);
}

std::optional<std::uint64_t> countOf(const json& value) {
  return integerOf<std::uint64_t>(value);
}

std::optional<bool> booleanOf(const json& value) {
  return value.is_boolean() ? std::optional(value.get<bool>()) : std::nullopt;
}

std::optional<AxError> errorOf(const json& value) {
  const auto code = integerOf<AxError>(value);
  if (!code || *code == kAxSuccess) return std::nullopt;  // 0 would be a failure reading as success
  return code;
}

// The one form name an object holds, or nothing when it holds none or several.
std::optional<std::string_view> soleName(const json& object,
                                         std::initializer_list<std::string_view> names) {
  std::optional<std::string_view> found;
  for (const std::string_view name : names) {
    if (member(object, name) == nullptr) continue;
    if (found) return std::nullopt;
    found = name;
  }
  return found;
}

// A member that may be null: null reads as none, anything else as `parse` reads it.
template <typename Parse>
auto nullable(Parse parse) {
  return [parse](const json& value) {
    using Result = std::optional<decltype(parse(value))>;
    if (value.is_null()) return Result(std::in_place);
    const auto parsed = parse(value);
    return parsed ? Result(std::in_place, parsed) : Result();
  };
}

bool isPair(const json& value, bool integers) {
  return value.is_array() && value.size() == 2 &&
         std::all_of(value.begin(), value.end(), [&](const json& item) {
           return integers ? integerOf<std::int64_t>(item).has_value() : item.is_number();
         });
}

// Reads the members of one object of the desktop. A member that is there without its form
// fails a strict read (a desktop file) and is otherwise read as absent.
class Reader {
 public:
  Reader(const json& object, bool strict) : object_(object), strict_(strict) {}

  // The member as `parse` (JSON to an optional) reads it; nothing when absent or formless.
  template <typename Parse>
  auto operator()(std::string_view name, Parse parse) {
    const json* value = member(object_, name);
    decltype(parse(object_)) parsed;
    if (value != nullptr) {
      parsed = parse(*value);
      failed_ = failed_ || !parsed;
    }
    return parsed;
  }
  bool ok() const { return !strict_ || !failed_; }

 private:
  const json& object_;
  bool strict_;
  bool failed_ = false;
};

// Every member of an object, handed to `add(name, value)`, which answers whether it has its
// form. False when `object` is not an object, or, for a strict read, a member lacks its form.
template <typename Add>
bool eachMember(const json& object, bool strict, Add add) {
  if (!object.is_object()) return false;
  for (const auto& [name, value] : object.items()) {
    if (!add(name, value) && strict) return false;
  }
  return true;
}

bool readMembers(const json& members, App& app, bool strict) {
  Reader read(members, strict);
  // A lone surrogate, which a bundle identifier in UTF-8 cannot hold, becomes U+FFFD.
  const auto utf8 = [](const json& v) {
    return v.is_string() ? std::optional(text::utf8FromUtf16(text::utf16FromUtf8(
                               v.get_ref<const std::string&>(), LoneSurrogates::kKeep)))
                         : std::nullopt;
  };
  app.bundleId = read("bundleId", nullable(utf8)).value_or(std::nullopt);
  app.hang = read("hang", booleanOf).value_or(false);
  app.electron = read("electron", booleanOf).value_or(false);
  app.engine = read("engine", [](const json& v) -> std::optional<WebEngine> {
                 if (v == "chromium") return WebEngine::kChromium;
                 if (v == "gecko") return WebEngine::kGecko;
                 return std::nullopt;
               }).value_or(WebEngine::kNone);
  return read.ok();
}

bool readMembers(const json& members, Node& node, bool strict) {
  Reader read(members, strict);
  node.app = read("app", pidOf);
  node.settable = read("settable", [&](const json& v) {
                    std::map<std::string, SettableAnswer, std::less<>> answers;
                    const bool ok =
                        eachMember(v, strict, [&](const std::string& name, const json& s) {
                          const json* error = member(s, "error");
                          const auto code = error != nullptr ? errorOf(*error) : std::nullopt;
                          if (s.is_boolean()) answers[name] = {kAxSuccess, s.get<bool>()};
                          if (code) answers[name] = {*code, false};
                          return s.is_boolean() || code;
                        });
                    return ok ? std::optional(std::move(answers)) : std::nullopt;
                  }).value_or(std::map<std::string, SettableAnswer, std::less<>>());
  node.onWrite = read("onWrite", WriteMode::of).value_or(WriteMode{});
  node.typedOnly = read("typedOnly", booleanOf).value_or(false);
  node.astralKeys = read("astralKeys", booleanOf).value_or(true);
  node.onKeys = read("onKeys", WriteMode::of);
  return read.ok() && (node.app || !strict);
}

bool readMembers(const json& members, Desktop& desktop, bool strict) {
  Reader read(members, strict);
  desktop.trusted = read("trusted", booleanOf).value_or(true);
  desktop.ownPid = read("ownPid", pidOf).value_or(1);
  desktop.parentPid = read("parentPid", pidOf);
  desktop.frontmost = read("frontmost", nullable(pidOf)).value_or(std::nullopt);
  desktop.clock = read("clock", [](const json& v) {
    return v.is_number() ? std::optional(v.get<double>()) : std::nullopt;
  });
  desktop.modifiers = read("modifiers", countOf).value_or(0);
  desktop.secureInput = read("secureInput", booleanOf).value_or(false);
  desktop.eventCreations = read("eventCreations", countOf);
  desktop.schedule =
      read("schedule", [&](const json& v) {
        std::vector<ScheduleEntry> entries;
        if (!v.is_array()) return std::optional<std::vector<ScheduleEntry>>();
        for (const json& item : v) {
          const auto trigger =
              soleName(item, {"afterPosts", "afterOps", "afterSetting", "afterPauses"});
          const json* patch = member(item, "patch");
          std::optional<ScheduleEntry> entry;
          if (trigger == "afterSetting") {
            // {"attribute": NAME, "pauses": N}, and optionally "restart": BOOLEAN
            const json& setting = *member(item, *trigger);
            const json* name = member(setting, "attribute");
            const json* pauses = member(setting, "pauses");
            const json* restart = member(setting, "restart");
            const auto count = pauses != nullptr ? countOf(*pauses) : std::nullopt;
            const bool restartOk = restart == nullptr || restart->is_boolean();
            if (name != nullptr && name->is_string() && count && restartOk &&
                setting.size() == (restart != nullptr ? 3U : 2U)) {
              entry = ScheduleEntry{ScheduleEntry::Trigger::kAfterSetting, *count, json(),
                                    name->get<std::string>(),
                                    restart != nullptr && restart->get<bool>()};
            }
          } else if (trigger) {
            if (const auto count = countOf(*member(item, *trigger))) {
              const auto kind = *trigger == "afterPosts"    ? ScheduleEntry::Trigger::kAfterPosts
                                : *trigger == "afterPauses" ? ScheduleEntry::Trigger::kAfterPauses
                                                            : ScheduleEntry::Trigger::kAfterOps;
              entry = ScheduleEntry{kind, *count, json(), std::string(), false};
            }
          }
          if (entry && patch != nullptr && patch->is_object()) {
            entry->patch = *patch;
            entries.push_back(std::move(*entry));
          } else if (strict) {
            return std::optional<std::vector<ScheduleEntry>>();
          }
        }
        return std::optional(std::move(entries));
      }).value_or(std::vector<ScheduleEntry>());
  return read.ok();
}

// An application or element as a desktop file gives it, or none when it lacks a form.
template <typename T>
std::optional<T> loadEntry(const json& object) {
  T entry;
  entry.members = without(object, {"attributes"});
  const json* attributes = member(object, "attributes");
  if (!object.is_object() || !readMembers(entry.members, entry, true) ||
      (attributes != nullptr &&
       !eachMember(*attributes, true, [&](const std::string& name, const json& value) {
         return !entry.attributes.emplace(name, Value::of(value)).first->second.formless();
       }))) {
    return std::nullopt;
  }
  return entry;
}

// Applies a merge patch to a map entry by entry: `mergeOne(existing or null, patch)` gives the
// entry's new value, or none when there is then no entry. A patch that is not an object
// replaces the whole member, which then has no entries of its form.
template <typename Map, typename KeyOf, typename MergeOne>
void mergeEntries(Map& map, const json& patch, KeyOf keyOf, MergeOne mergeOne) {
  if (!patch.is_object()) {
    map.clear();
    return;
  }
  for (const auto& [name, entryPatch] : patch.items()) {
    const auto key = keyOf(name);
    if (!key) continue;  // a key without its form names nothing
    const auto it = map.find(*key);
    auto next = mergeOne(it != map.end() ? &it->second : nullptr, entryPatch);
    if (!next) {
      if (it != map.end()) map.erase(it);
    } else if (it != map.end()) {
      it->second = std::move(*next);
    } else {
      map.emplace(*key, std::move(*next));
    }
  }
}

template <typename T>
std::optional<T> mergedEntry(T* existing, const json& patch) {
  if (!patch.is_object()) return std::nullopt;  // null deletes; anything else is no entry
  T entry = existing != nullptr ? std::move(*existing) : T();
  entry.members.merge_patch(without(patch, {"attributes"}));
  readMembers(entry.members, entry, false);
  if (const json* attributes = member(patch, "attributes")) {
    mergeEntries(
        entry.attributes, *attributes, [](const std::string& name) { return std::optional(name); },
        [](const Value* value, const json& p) {
          return p.is_null() ? std::nullopt
                             : std::optional(Value::of(merged(value ? value->written : json(), p)));
        });
  }
  return entry;
}

std::optional<std::string> elementIdOf(const std::string& id) {
  // Ids beginning with "app:" name the elements the program creates for applications.
  if (std::string_view(id).substr(0, kAppPrefix.size()) == kAppPrefix) return std::nullopt;
  return id;
}

// --- write modes ---

std::optional<std::u16string> caseSwapped(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& u : out) {
    if (u >= 'a' && u <= 'z') {
      u = static_cast<char16_t>(u - 'a' + 'A');
    } else if (u >= 'A' && u <= 'Z') {
      u = static_cast<char16_t>(u - 'A' + 'a');
    }
  }
  return out;
}

}  // namespace

// --- attribute values ---

Value Value::of(const json& given) {
  Value value;
  value.read = OtherValue{};
  if (given.is_string()) {
    value.read = text::utf16FromUtf8(given.get_ref<const std::string&>(), LoneSurrogates::kKeep);
    return value;
  }
  value.written = given;
  if (given.is_boolean()) {
    value.read = given.get<bool>();
  } else if (given.is_number()) {
    value.read = NumberValue{given.get<double>()};
  } else if (given.is_null()) {
    value.read = NoValue{};
  }
  const auto name = soleName(given, {"none", "range", "point", "size", "element", "error"});
  if (!name) return value;
  const json& inner = *member(given, *name);
  if (*name == "none" && inner == true) {
    value.read = NoValue{};
  } else if (*name == "range" && isPair(inner, true)) {
    value.read = AxValue{kAxValueKindRange, Range{*integerOf<std::int64_t>(inner[0]),
                                                  *integerOf<std::int64_t>(inner[1])}};
  } else if ((*name == "point" || *name == "size") && isPair(inner, false)) {
    value.read = AxValue{*name == "point" ? 1 : 2, std::nullopt};
  } else if (*name == "element" && inner.is_string()) {
    value.read = ElementId{inner.get<std::string>()};
  } else if (const auto code = *name == "error" ? errorOf(inner) : std::nullopt) {
    value.error = *code;
    value.read = NoValue{};
  }
  return value;
}

Value Value::caret(std::size_t location) {
  return Value::of({{"range", {static_cast<std::int64_t>(location), 0}}});
}

json Value::toJson() const {
  return text() != nullptr ? json(text::utf8FromUtf16(*text(), LoneSurrogates::kKeep)) : written;
}

std::optional<WriteMode> WriteMode::of(const json& given) {
  WriteMode mode;
  if (given.is_string()) {
    const auto& name = given.get_ref<const std::string&>();
    if (name == "decompose") {
      mode.transform = text::decomposed;
    } else if (name == "alter") {
      mode.transform = caseSwapped;
    } else if (name == "deferred") {
      mode.when = When::kAtNextValueRead;
    } else if (name == "ignore") {
      mode.when = When::kNever;
    } else if (name != "insert") {
      return std::nullopt;
    }
    return mode;
  }
  const auto name = soleName(given, {"limit", "error", "afterReads"});
  if (!name) return std::nullopt;
  const json& inner = *member(given, *name);
  if (*name == "limit") {
    mode.limit = countOf(inner);
    if (!mode.limit) return std::nullopt;
  } else if (*name == "afterReads") {
    const auto reads = countOf(inner);
    if (!reads || *reads == 0) return std::nullopt;
    mode.when = When::kAfterReads;
    mode.reads = *reads;
  } else {
    const auto code = errorOf(inner);
    if (!code) return std::nullopt;
    mode.error = *code;
  }
  return mode;
}

// --- writes ---

namespace {

// The field's value when it is a text and the selection when it is a range inside it.
std::u16string* fieldValue(Attributes& attributes, const Range& selection) {
  const auto value = attributes.find(kValue);
  std::u16string* text =
      value != attributes.end() ? std::get_if<std::u16string>(&value->second.read) : nullptr;
  if (text == nullptr || selection.location < 0 || selection.length < 0 ||
      static_cast<std::uint64_t>(selection.location) > text->size() ||
      static_cast<std::uint64_t>(selection.length) >
          text->size() - static_cast<std::size_t>(selection.location)) {
    return nullptr;
  }
  return text;
}

// Replaces the selection of the field's value by the text as `mode` transforms and limits it,
// and leaves the caret right after the text.
AxError replace(Attributes& attributes, std::u16string& value, const Range& selection,
                std::u16string_view text, const WriteMode& mode) {
  std::optional<std::u16string> transformed;
  if (mode.transform != nullptr) {
    transformed = mode.transform(text);
    if (!transformed) return kAxErrorFailure;
    text = *transformed;
  }
  const auto location = static_cast<std::size_t>(selection.location);
  value.replace(location, static_cast<std::size_t>(selection.length), text);
  std::size_t caret = location + text.size();
  if (mode.limit && *mode.limit < value.size()) {
    auto cut = static_cast<std::size_t>(*mode.limit);
    // Never keep the first half of a pair without its second.
    if (cut > 0 && text::isHighSurrogate(value[cut - 1]) && text::isLowSurrogate(value[cut])) {
      --cut;
    }
    value.resize(cut);
    caret = std::min(caret, cut);
  }
  attributes.insert_or_assign(std::string(kSelectedTextRange), Value::caret(caret));
  return kAxSuccess;
}

}  // namespace

namespace {

// A field's change by a write or a typed key, as `mode` says.
AxError change(Attributes& attributes, const WriteMode& mode, std::u16string_view text,
               std::optional<DeferredWrite>& deferred) {
  if (mode.error != kAxSuccess) return mode.error;
  const auto selectionValue = attributes.find(kSelectedTextRange);
  const auto* selection = selectionValue != attributes.end()
                              ? std::get_if<AxValue>(&selectionValue->second.read)
                              : nullptr;
  std::u16string* value = selection != nullptr && selection->range
                              ? fieldValue(attributes, *selection->range)
                              : nullptr;
  if (value == nullptr) return kAxErrorFailure;
  switch (mode.when) {
    case WriteMode::When::kNever:
      return kAxSuccess;
    case WriteMode::When::kAtNextValueRead:
      deferred = DeferredWrite{std::u16string(text), *selection->range, std::nullopt};
      return kAxSuccess;
    case WriteMode::When::kAfterReads:
      deferred = DeferredWrite{std::u16string(text), *selection->range, mode.reads};
      return kAxSuccess;
    case WriteMode::When::kNow:
      break;
  }
  return replace(attributes, *value, *selection->range, text, mode);
}

}  // namespace

AxError Node::write(std::u16string_view text, std::optional<DeferredWrite>& deferred) {
  return change(attributes, onWrite, text, deferred);
}

AxError Node::type(std::u16string_view text, std::optional<DeferredWrite>& deferred) {
  if (!onKeys) return kAxSuccess;
  if (astralKeys) return change(attributes, *onKeys, text, deferred);
  // Each character above U+FFFF arrives as its low 16 bits.
  std::u16string arrived;
  for (std::size_t pos = 0; pos < text.size();) {
    const text::ScalarAt at = text::scalarAt(text, pos);
    arrived.push_back(at.units == 2 ? static_cast<char16_t>(at.scalar & 0xFFFF) : text[pos]);
    pos += at.units;
  }
  return change(attributes, *onKeys, arrived, deferred);
}

void Node::complete(const DeferredWrite& deferred) {
  Range selection = deferred.selection;
  if (deferred.readsLeft) {
    // Lands where the field's selection is now, as an application taking input in order does.
    const auto now = attributes.find(kSelectedTextRange);
    const auto* range = now != attributes.end() ? std::get_if<AxValue>(&now->second.read) : nullptr;
    if (range == nullptr || !range->range) return;
    selection = *range->range;
  }
  // The field may have changed meanwhile; a change that no longer fits is dropped.
  if (std::u16string* value = fieldValue(attributes, selection)) {
    replace(attributes, *value, selection, deferred.text, WriteMode{});
  }
}

// --- the desktop ---

std::optional<Desktop> Desktop::load(const json& given) {
  Desktop desktop;
  desktop.members = without(given, {"apps", "elements"});
  const auto readEntries = [&](std::string_view name, auto& map, auto keyOf) {
    const json* entries = member(given, name);
    return entries == nullptr ||
           eachMember(*entries, true, [&](const std::string& key, const json& value) {
             using Item = typename std::decay_t<decltype(map)>::mapped_type;
             const auto id = keyOf(key);
             auto entry = id ? loadEntry<Item>(value) : std::nullopt;
             if (entry) map.emplace(*id, std::move(*entry));
             return entry.has_value();
           });
  };
  if (!given.is_object() || !readMembers(desktop.members, desktop, true) ||
      !readEntries("apps", desktop.apps, pidOfKey) ||
      !readEntries("elements", desktop.elements, elementIdOf)) {
    return std::nullopt;
  }
  return desktop;
}

Desktop Desktop::untrusted() {
  Desktop desktop;
  desktop.members = {{"trusted", false}};
  desktop.trusted = false;
  return desktop;
}

void Desktop::merge(const json& patch) {
  members.merge_patch(without(patch, {"apps", "elements"}));
  readMembers(members, *this, false);
  if (const json* appsPatch = member(patch, "apps")) {
    mergeEntries(apps, *appsPatch, pidOfKey, mergedEntry<App>);
  }
  if (const json* elementsPatch = member(patch, "elements")) {
    mergeEntries(elements, *elementsPatch, elementIdOf, mergedEntry<Node>);
  }
}

std::string keyOfPid(Pid pid) {
  return std::to_string(pid);
}

std::optional<Pid> pidOfKey(std::string_view key) {
  Pid pid = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), pid);
  if (ec != std::errc() || end != key.data() + key.size()) return std::nullopt;
  if (keyOfPid(pid) != key) return std::nullopt;  // only the canonical spelling
  return pid;
}

}  // namespace caretsafe::sim
