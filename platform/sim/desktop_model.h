// The simulated desktop as typed values: applications, elements, attribute values with text in
// UTF-16, write modes and the schedule, read from the desktop's JSON once per load of the file
// and once per merge patch. The platform operations read these values, never the JSON.
//
// The forms of the desktop file (docs/simulated-desktop.md) have their one home here: the
// members of each object (`Desktop::load`, which a file must pass; after a merge patch a member
// without its form reads as absent), the table of attribute forms (`Value::of`), the table of
// write modes (`WriteMode::of`) and what a write does to a field (`Node::write`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace caretsafe::sim {

// An attribute value: what a read of it gives.
struct Value {
  // An element named by its id; each read gives a new handle on it.
  struct ElementId {
    std::string id;
  };
  using Read =
      std::variant<NoValue, std::u16string, bool, NumberValue, AxValue, ElementId, OtherValue>;

  AxError error = kAxSuccess;  // the read fails with this code
  Read read;
  // The JSON the value was given as, except for a text (null then): the journal shows it and a
  // merge patch merges into it.
  nlohmann::json written;

  // The value that JSON stands for. JSON without a form of the table stands for some other
  // platform object (`formless`). Strings are UTF-8 that may hold lone surrogates.
  static Value of(const nlohmann::json& given);
  // A caret at `location`, as a write leaves it: {"range": [location, 0]}.
  static Value caret(std::size_t location);

  bool formless() const { return std::holds_alternative<OtherValue>(read); }
  const std::u16string* text() const { return std::get_if<std::u16string>(&read); }
  // The value as JSON (a text as its string).
  nlohmann::json toJson() const;
};

using Attributes = std::map<std::string, Value, std::less<>>;

// What a write of "AXSelectedText" does (`onWrite`). A mode that the fields below cannot say is
// a new field here and a new case in `Node::write`.
struct WriteMode {
  enum class When { kNow, kAtNextValueRead, kAfterReads, kNever };
  AxError error = kAxSuccess;  // the write answers this code and changes nothing
  When when = When::kNow;
  std::uint64_t reads = 0;  // kAfterReads: the reads of the field after which the change lands
  // The text as the field stores it; none: the write fails with -25200.
  std::optional<std::u16string> (*transform)(std::u16string_view text) = nullptr;
  std::optional<std::uint64_t> limit;  // the value is then cut to this many UTF-16 units

  static std::optional<WriteMode> of(const nlohmann::json& given);
};

// A change that lands later: a "deferred" write right after the next read of the field's value,
// with the selection as it was at the write; an {"afterReads": N} write or key right after the
// N-th read of the field's value or selection, at the field's selection then (an application
// that takes its input in order, in its own time).
struct DeferredWrite {
  std::u16string text;
  Range selection;
  // {"afterReads": N}: the reads still to come before it lands; none: a "deferred" write.
  std::optional<std::uint64_t> readsLeft;
};

// An application (`App`) or an accessibility element (`Node`): its attributes, and its other
// members as the desktop gave them, into which a merge patch merges before they are read again.
struct Entry {
  Attributes attributes;
  nlohmann::json members;
};

struct App : Entry {
  std::optional<std::string> bundleId;  // UTF-8
  bool hang = false;
  bool electron = false;                // built on Electron
  WebEngine engine = WebEngine::kNone;  // what its bundle holds ("engine")
};

struct Node : Entry {
  std::optional<Pid> app;
  std::map<std::string, SettableAnswer, std::less<>> settable;
  WriteMode onWrite;
  // What the platform answers when asked whether the field takes text only as typed keys.
  bool typedOnly = false;
  // What a key typed into the field does while it is its application's focused element, in the
  // forms of `onWrite`; none: keys change nothing.
  std::optional<WriteMode> onKeys;
  // Whether a key carries a character above U+FFFF into the field whole; when not, it arrives
  // as its low 16 bits (Chromium on Wayland).
  bool astralKeys = true;

  // The outcome of a write of "AXSelectedText": the result code, the field changed as `onWrite`
  // says, or `deferred` set to the change to make later.
  AxError write(std::u16string_view text, std::optional<DeferredWrite>& deferred);
  // A typed key's characters, as `onKeys` says (nothing without it), in the same way.
  AxError type(std::u16string_view text, std::optional<DeferredWrite>& deferred);
  // Makes a deferred change as an insert, unless the field no longer has the selection it
  // lands at.
  void complete(const DeferredWrite& deferred);
};

struct ScheduleEntry {
  enum class Trigger { kAfterPosts, kAfterOps, kAfterSetting, kAfterPauses };
  Trigger trigger = Trigger::kAfterOps;
  std::uint64_t count = 0;  // for kAfterSetting: the pauses after the setting
  nlohmann::json patch;     // an object
  std::string attribute;    // kAfterSetting: the boolean attribute set true
  // kAfterSetting: the pauses count from the latest setting, so every setting before the entry
  // fires starts the count again (an application that waits a while after the last request).
  bool restart = false;
};

struct Desktop {
  bool trusted = true;
  Pid ownPid = 1;
  std::optional<Pid> parentPid;
  std::optional<Pid> frontmost;
  std::optional<double> clock;
  std::uint64_t modifiers = 0;
  bool secureInput = false;  // secure event input is on
  std::optional<std::uint64_t> eventCreations;
  std::vector<ScheduleEntry> schedule;
  std::map<Pid, App> apps;
  std::map<std::string, Node, std::less<>> elements;
  nlohmann::json members;  // the top-level members but `apps` and `elements`, as for Entry

  // The desktop a file gives, or none when a member it knows lacks its form.
  static std::optional<Desktop> load(const nlohmann::json& given);
  // The empty, untrusted desktop that a missing or invalid file gives.
  static Desktop untrusted();
  // Applies an RFC 7386 merge patch (an object). Whatever JSON it leaves is accepted; a member
  // without its form then reads as absent, an attribute value without one as formless.
  void merge(const nlohmann::json& patch);
};

// The `apps` key, and the id after "app:", of a pid: canonical decimal ("501", "-3"; not "0501").
std::string keyOfPid(Pid pid);
std::optional<Pid> pidOfKey(std::string_view key);

}  // namespace caretsafe::sim
