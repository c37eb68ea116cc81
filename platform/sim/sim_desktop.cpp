#include "platform/sim/sim_desktop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/sim/json_text.h"

namespace caretsafe::sim {
namespace {

using nlohmann::json;

// The platform answers a request on a null element with this code.
constexpr AxError kAxErrorIllegalArgument = -25201;
// The wait for an application that does not answer, where no timeout was set on the handle.
constexpr double kDefaultMessagingTimeout = 6.0;
constexpr std::string_view kAppPrefix = "app:";
constexpr std::string_view kSelectedText = "AXSelectedText";
constexpr std::string_view kValue = "AXValue";
constexpr std::string_view kSelectedTextRange = "AXSelectedTextRange";

// One journal line, built member by member in the documented order.
class Line {
 public:
  explicit Line(std::string_view op) {
    text_ = "{\"op\":\"";
    text_ += op;
    text_ += '"';
  }
  Line& boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  Line& integer(std::string_view key, std::int64_t value) {
    return raw(key, std::to_string(value));
  }
  Line& whole(std::string_view key, std::uint64_t value) { return raw(key, std::to_string(value)); }
  Line& null(std::string_view key) { return raw(key, "null"); }
  Line& units(std::string_view key, std::u16string_view value) {
    name(key);
    appendJsonString(text_, value);
    return *this;
  }
  // Text from the desktop's JSON (UTF-8 that may hold lone surrogates).
  Line& modelText(std::string_view key, std::string_view value) {
    name(key);
    appendJsonModelString(text_, value);
    return *this;
  }
  Line& modelText(std::string_view key, const std::string* value) {
    return value != nullptr ? modelText(key, *value) : null(key);
  }
  // An attribute value as JSON: a text as a string, any other as the desktop wrote it.
  Line& value(std::string_view key, const Value* value) {
    if (value == nullptr) return null(key);
    if (value->text() != nullptr) return units(key, *value->text());
    name(key);
    appendJsonValue(text_, value->written);
    return *this;
  }
  Line& raw(std::string_view key, std::string_view literal) {
    name(key);
    text_ += literal;
    return *this;
  }
  std::string take() {
    text_ += '}';
    return std::move(text_);
  }

 private:
  void name(std::string_view key) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":";
  }
  std::string text_;
};

// The attribute of an application or element, if it has one by that name.
const Value* find(const Entry* entry, std::string_view name) {
  if (entry == nullptr) return nullptr;
  const auto it = entry->attributes.find(name);
  return it == entry->attributes.end() ? nullptr : &it->second;
}

void sleepFor(double seconds) {
  // Anything longer than a day is a harness mistake, not a wait worth making.
  if (!(seconds > 0)) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 86400.0)));
}

// The identity of a file's current contents, as far as replacing it can change it.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp stampOf(const struct stat& info) {
#if defined(__APPLE__)
  const struct timespec& modified = info.st_mtimespec;
#else
  const struct timespec& modified = info.st_mtim;
#endif
  return {info.st_dev, info.st_ino, info.st_size, static_cast<std::int64_t>(modified.tv_sec),
          static_cast<std::int64_t>(modified.tv_nsec)};
}

std::optional<FileStamp> stampOfPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return stampOf(info);
}

}  // namespace

struct SimDesktop::FileSource {
  std::string desktopPath;
  std::optional<std::string> journalPath;
  int journalFd = -1;
  bool loaded = false;
  std::optional<FileStamp> stamp;  // of what was loaded last; none: nothing could be read

  ~FileSource() {
    if (journalFd >= 0) ::close(journalFd);
  }

  void openJournal() {
    if (journalFd >= 0 || !journalPath) return;
    journalFd = ::open(journalPath->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  }

  // One line in one write, so that the line is whole in the file as soon as it returns.
  void append(std::string line) {
    openJournal();
    if (journalFd < 0) return;
    line.push_back('\n');
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t written = ::write(journalFd, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      data += written;
      left -= static_cast<std::size_t>(written);
    }
  }

  // The file's text and the stamp it was read under; no text when it cannot be read.
  std::optional<std::string> read() {
    stamp = stampOfPath(desktopPath);
    // Non-blocking, so that a path naming a FIFO cannot stall the program.
    const int fd = ::open(desktopPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      // The stamp of what is actually read: a file replaced meanwhile is loaded next time.
      stamp = stampOf(info);
      text.emplace();
      char buffer[65536];
      while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          text.reset();
          break;
        }
        if (got == 0) break;
        text->append(buffer, static_cast<std::size_t>(got));
      }
    }
    ::close(fd);
    return text;
  }
};

SimDesktop::SimDesktop() : wait_(sleepFor) {}

SimDesktop::SimDesktop(const json& desktop) : SimDesktop() {
  install(desktop);
}

std::unique_ptr<SimDesktop> SimDesktop::fromFile(std::string desktopPath,
                                                 std::optional<std::string> journalPath) {
  std::unique_ptr<SimDesktop> desktop(new SimDesktop());
  desktop->file_ = std::make_unique<FileSource>();
  desktop->file_->desktopPath = std::move(desktopPath);
  desktop->file_->journalPath = std::move(journalPath);
  desktop->file_->openJournal();
  desktop->loadFile();
  return desktop;
}

SimDesktop::~SimDesktop() = default;

void SimDesktop::install(const json& desktop) {
  std::optional<Desktop> loaded;
  try {
    if (withinDepth(desktop)) loaded = Desktop::load(desktop);
  } catch (...) {
    loaded.reset();  // only running out of memory gets here
  }
  desktop_ = loaded ? std::move(*loaded) : Desktop::untrusted();
  opsSinceLoad_ = 0;
  postsSinceLoad_ = 0;
  pausesSinceLoad_ = 0;
  creationsSinceLoad_ = 0;
  pausesSinceSetting_.clear();
  pausesSinceLatestSetting_.clear();
  firedRestarting_.clear();
  deferred_.clear();
}

void SimDesktop::loadFile() {
  const std::optional<std::string> text = file_->read();
  file_->loaded = true;
  std::optional<json> parsed = text ? parseJsonText(*text) : std::nullopt;
  install(parsed ? *parsed : json());
}

void SimDesktop::refresh() {
  if (!file_) return;
  if (file_->loaded && stampOfPath(file_->desktopPath) == file_->stamp) return;
  loadFile();
}

void SimDesktop::patch(const json& mergePatch) {
  if (!mergePatch.is_object() || !withinDepth(mergePatch)) return;
  desktop_.merge(mergePatch);
}

const std::vector<std::string>& SimDesktop::journal() const {
  return journal_;
}

void SimDesktop::clearJournal() {
  journal_.clear();
}

std::size_t SimDesktop::liveElementReferences() const {
  std::size_t total = 0;
  for (const auto& entry : handles_) total += entry.second.references;
  return total;
}

std::size_t SimDesktop::liveKeyEvents() const {
  return events_.size();
}

void SimDesktop::setWait(std::function<void(double seconds)> wait) {
  wait_ = wait ? std::move(wait) : std::function<void(double)>(sleepFor);
}

std::optional<json> SimDesktop::attribute(std::string_view elementId, std::string_view name) const {
  const Entry* entry = nullptr;
  if (elementId.substr(0, kAppPrefix.size()) == kAppPrefix) {
    const std::optional<Pid> pid = pidOfKey(elementId.substr(kAppPrefix.size()));
    const auto app = pid ? desktop_.apps.find(*pid) : desktop_.apps.end();
    if (app != desktop_.apps.end()) entry = &app->second;
  } else if (const auto node = desktop_.elements.find(elementId); node != desktop_.elements.end()) {
    entry = &node->second;
  }
  const Value* value = find(entry, name);
  return value != nullptr ? std::optional(value->toJson()) : std::nullopt;
}

// --- journal and schedule ---

void SimDesktop::record(std::string line, bool post) {
  record(std::move(line), post, Moment{});
}

void SimDesktop::record(std::string line, bool post, Moment moment) {
  ++opsSinceLoad_;
  if (post) ++postsSinceLoad_;
  // Pauses count from the load, from the first setting of each attribute since the load, and
  // from its latest setting.
  if (moment.pause) {
    ++pausesSinceLoad_;
    for (auto& [attribute, pauses] : pausesSinceSetting_) ++pauses;
    for (auto& [attribute, pauses] : pausesSinceLatestSetting_) ++pauses;
  }
  if (moment.setting) {
    pausesSinceSetting_.try_emplace(std::string(*moment.setting), 0);
    pausesSinceLatestSetting_.insert_or_assign(std::string(*moment.setting), 0);
  }
  if (file_) {
    file_->append(std::move(line));
  } else {
    journal_.push_back(std::move(line));
  }
  // Collected first: a patch may replace the schedule itself. An entry fires when its count
  // is reached, and each count is reached once per load, so nothing fires twice.
  std::vector<json> due;
  for (std::size_t index = 0; index < desktop_.schedule.size(); ++index) {
    const ScheduleEntry& entry = desktop_.schedule[index];
    bool fires = false;
    switch (entry.trigger) {
      case ScheduleEntry::Trigger::kAfterOps:
        fires = entry.count == opsSinceLoad_;
        break;
      case ScheduleEntry::Trigger::kAfterPosts:
        fires = post && entry.count == postsSinceLoad_;
        break;
      case ScheduleEntry::Trigger::kAfterPauses:
        fires = moment.pause && entry.count == pausesSinceLoad_;
        break;
      case ScheduleEntry::Trigger::kAfterSetting: {
        // Right after the first setting (0 pauses), or right after the N-th pause since then;
        // with "restart", since the latest setting, and only once (the count may be reached
        // again after a new setting).
        const auto& counts = entry.restart ? pausesSinceLatestSetting_ : pausesSinceSetting_;
        const auto since = counts.find(entry.attribute);
        const bool counted = since != counts.end() && since->second == entry.count;
        fires = counted && (entry.count == 0 ? moment.setting == entry.attribute : moment.pause);
        if (entry.restart && fires) fires = firedRestarting_.insert(index).second;
        break;
      }
    }
    if (fires) due.push_back(entry.patch);
  }
  for (const json& patch : due) desktop_.merge(patch);
}

// --- handles ---

const SimDesktop::Handle* SimDesktop::handleOf(const Element& element) const {
  if (!element) return nullptr;
  const auto it = handles_.find(element.ref());
  return it == handles_.end() ? nullptr : &it->second;
}

Element SimDesktop::newHandle(std::string elementId) {
  const std::uintptr_t ref = nextHandle_++;
  handles_.emplace(ref, Handle{std::move(elementId), 1, std::nullopt});
  return Element::adopt(*this, ref);
}

void SimDesktop::retainElement(std::uintptr_t ref) noexcept {
  const auto it = handles_.find(ref);
  if (it != handles_.end()) ++it->second.references;
}

void SimDesktop::releaseElement(std::uintptr_t ref) noexcept {
  const auto it = handles_.find(ref);
  if (it != handles_.end() && --it->second.references == 0) handles_.erase(it);
}

void SimDesktop::releaseKeyEvent(std::uintptr_t ref) noexcept {
  events_.erase(ref);
}

bool SimDesktop::elementsEqual(const Element& a, const Element& b) {
  const Handle* first = handleOf(a);
  const Handle* second = handleOf(b);
  return first != nullptr && second != nullptr && first->elementId == second->elementId;
}

// --- applications ---

std::optional<RunningApp> SimDesktop::appWithPid(Pid pid) const {
  const auto app = desktop_.apps.find(pid);
  if (app != desktop_.apps.end()) return RunningApp{pid, app->second.bundleId};
  // The frontmost application runs whether or not `apps` lists it.
  if (desktop_.frontmost == pid) return RunningApp{pid, std::nullopt};
  return std::nullopt;
}

bool SimDesktop::isProcessTrusted() {
  refresh();
  const bool result = desktop_.trusted;
  record(Line("isProcessTrusted").boolean("result", result).take(), false);
  return result;
}

std::optional<RunningApp> SimDesktop::frontmostApplication() {
  refresh();
  const std::optional<Pid> pid = desktop_.frontmost;
  Line line("frontmostApplication");
  if (pid) {
    line.integer("result", *pid);
  } else {
    line.null("result");
  }
  const std::optional<RunningApp> app = pid ? appWithPid(*pid) : std::nullopt;
  record(line.take(), false);
  return app;
}

std::optional<RunningApp> SimDesktop::runningApplication(Pid pid) {
  refresh();
  const std::optional<RunningApp> app = appWithPid(pid);
  Line line("runningApplication");
  line.integer("pid", pid);
  if (app) {
    line.modelText("result", app->bundleId ? &*app->bundleId : nullptr);
  } else {
    line.boolean("result", false);
  }
  record(line.take(), false);
  return app;
}

Pid SimDesktop::ownPid() {
  refresh();
  return desktop_.ownPid;
}

std::optional<Pid> SimDesktop::parentPid() {
  refresh();
  return desktop_.parentPid;
}

// --- accessibility ---

SimDesktop::Target SimDesktop::reach(const Handle* handle) {
  if (handle == nullptr) return {kAxErrorIllegalArgument};
  const std::string_view id = handle->elementId;
  Target target;
  std::optional<Pid> owner;
  if (id.substr(0, kAppPrefix.size()) == kAppPrefix) {
    owner = pidOfKey(id.substr(kAppPrefix.size()));
    const auto app = owner ? desktop_.apps.find(*owner) : desktop_.apps.end();
    if (app != desktop_.apps.end()) {
      target.entry = &app->second;
    } else if (!owner || desktop_.frontmost != owner) {
      return {kAxErrorInvalidUiElement};  // no such application runs
    }
  } else {
    const auto node = desktop_.elements.find(id);
    if (node == desktop_.elements.end()) return {kAxErrorInvalidUiElement};
    target.entry = target.node = &node->second;
    owner = node->second.app;
  }
  const auto app = owner ? desktop_.apps.find(*owner) : desktop_.apps.end();
  if (app != desktop_.apps.end() && app->second.hang) {
    wait_(handle->timeout.value_or(kDefaultMessagingTimeout));
    target.error = kAxErrorCannotComplete;
  }
  return target;
}

Element SimDesktop::createApplication(Pid pid) {
  refresh();
  std::string id = std::string(kAppPrefix) + keyOfPid(pid);
  Element element = newHandle(id);
  record(Line("createApplication").integer("pid", pid).modelText("element", id).take(), false);
  return element;
}

void SimDesktop::setMessagingTimeout(const Element& element, float seconds) {
  refresh();
  const Handle* found = handleOf(element);
  if (found != nullptr && std::isfinite(seconds) && seconds >= 0) {
    // As on the platform, 0 returns the handle to the default.
    handles_.at(element.ref()).timeout =
        seconds > 0 ? std::optional<double>(doubleFromFloat(seconds)) : std::nullopt;
  }
  record(Line("setMessagingTimeout")
             .modelText("element", found != nullptr ? &found->elementId : nullptr)
             .raw("seconds", floatText(seconds))
             .take(),
         false);
}

AttributeRead SimDesktop::copyAttributeValue(const Element& element, std::string_view attribute) {
  refresh();
  const Handle* handle = handleOf(element);
  const Target target = reach(handle);
  AttributeRead read{target.error, NoValue{}};
  if (target.error == kAxSuccess) {
    const Value* value = find(target.entry, attribute);
    if (value == nullptr) {
      read.error = kAxErrorAttributeUnsupported;
    } else if (value->error != kAxSuccess) {
      read.error = value->error;
    } else {
      read.value = std::visit(
          [&](const auto& form) -> AttributeValue {
            if constexpr (std::is_same_v<std::decay_t<decltype(form)>, Value::ElementId>) {
              return newHandle(form.id);
            } else {
              return form;
            }
          },
          value->read);
    }
  }
  if (handle != nullptr && (attribute == kValue || attribute == kSelectedTextRange)) {
    // Due right after this read, whatever it gave, in the order they were written: a "deferred"
    // write at a read of the value, an "afterReads" one at its last read of value or selection.
    std::vector<Pending> due;
    std::vector<Pending> later;
    for (Pending& pending : deferred_) {
      bool now = false;
      if (pending.elementId == handle->elementId) {
        std::optional<std::uint64_t>& left = pending.write.readsLeft;
        now = left ? --*left == 0 : attribute == kValue;
      }
      (now ? due : later).push_back(std::move(pending));
    }
    deferred_ = std::move(later);
    for (const Pending& pending : due) {
      const auto node = desktop_.elements.find(pending.elementId);
      if (node != desktop_.elements.end()) node->second.complete(pending.write);
    }
  }
  record(Line("copyAttributeValue")
             .modelText("element", handle != nullptr ? &handle->elementId : nullptr)
             .modelText("attribute", attribute)
             .integer("error", read.error)
             .take(),
         false);
  return read;
}

SettableAnswer SimDesktop::isAttributeSettable(const Element& element, std::string_view attribute) {
  refresh();
  const Handle* handle = handleOf(element);
  const Target target = reach(handle);
  SettableAnswer answer{target.error, false};
  if (target.error == kAxSuccess) {
    // Application elements have no settable table; an attribute not listed fails the test.
    answer = {kAxErrorAttributeUnsupported, false};
    if (target.node != nullptr) {
      const auto listed = target.node->settable.find(attribute);
      if (listed != target.node->settable.end()) answer = listed->second;
    }
  }
  record(Line("isAttributeSettable")
             .modelText("element", handle != nullptr ? &handle->elementId : nullptr)
             .modelText("attribute", attribute)
             .integer("error", answer.error)
             .boolean("settable", answer.settable)
             .take(),
         false);
  return answer;
}

AxError SimDesktop::setAttributeValue(const Element& element, std::string_view attribute,
                                      std::u16string_view text) {
  refresh();
  const Handle* handle = handleOf(element);
  const Target target = reach(handle);
  AxError error = target.error;
  if (error == kAxSuccess && (attribute != kSelectedText || target.node == nullptr)) {
    error = kAxErrorAttributeUnsupported;
  } else if (error == kAxSuccess) {
    std::optional<DeferredWrite> later;
    error = target.node->write(text, later);
    if (later) deferred_.push_back({handle->elementId, std::move(*later)});
  }
  record(Line("setAttributeValue")
             .modelText("element", handle != nullptr ? &handle->elementId : nullptr)
             .modelText("attribute", attribute)
             .units("value", text)
             .integer("error", error)
             .value("fieldValue", find(target.entry, kValue))
             .take(),
         false);
  return error;
}

AxError SimDesktop::setFlagAttribute(const Element& element, std::string_view attribute,
                                     bool value) {
  refresh();
  const Handle* handle = handleOf(element);
  const Target target = reach(handle);
  AxError error = target.error;
  const Value* listed = target.entry != nullptr ? find(target.entry, attribute) : nullptr;
  if (error == kAxSuccess) {
    if (listed == nullptr) {
      error = kAxErrorAttributeUnsupported;
    } else if (listed->error != kAxSuccess) {
      error = listed->error;  // an attribute given as {"error": CODE} answers CODE, unchanged
    } else {
      target.entry->attributes.insert_or_assign(std::string(attribute), Value::of(json(value)));
    }
  }
  // The schedule's "afterSetting" counts from any setting to true made on an application's
  // element, whatever it answered: an application may answer an error and react all the same.
  const bool setting = handle != nullptr && target.node == nullptr && value &&
                       handle->elementId.rfind(kAppPrefix, 0) == 0;
  record(Line("setFlagAttribute")
             .modelText("element", handle != nullptr ? &handle->elementId : nullptr)
             .modelText("attribute", attribute)
             .boolean("value", value)
             .integer("error", error)
             .take(),
         false,
         Moment{.pause = false, .setting = setting ? std::optional(attribute) : std::nullopt});
  return error;
}

bool SimDesktop::builtOnElectron(Pid pid) {
  refresh();
  const auto app = desktop_.apps.find(pid);
  const bool result = app != desktop_.apps.end() && app->second.electron;
  record(Line("builtOnElectron").integer("pid", pid).boolean("result", result).take(), false);
  return result;
}

WebEngine SimDesktop::webEngine(Pid pid) {
  refresh();
  const auto app = desktop_.apps.find(pid);
  const WebEngine engine = app != desktop_.apps.end() ? app->second.engine : WebEngine::kNone;
  Line line("webEngine");
  line.integer("pid", pid);
  switch (engine) {
    case WebEngine::kChromium:
      line.modelText("result", "chromium");
      break;
    case WebEngine::kGecko:
      line.modelText("result", "gecko");
      break;
    case WebEngine::kNone:
      line.null("result");
      break;
  }
  record(line.take(), false);
  return engine;
}

bool SimDesktop::typedOnly(const Element& element) {
  refresh();
  const Handle* handle = handleOf(element);
  const Target target = reach(handle);
  const bool result =
      target.error == kAxSuccess && target.node != nullptr && target.node->typedOnly;
  record(Line("typedOnly")
             .modelText("element", handle != nullptr ? &handle->elementId : nullptr)
             .boolean("result", result)
             .take(),
         false);
  return result;
}

bool SimDesktop::typesAstral(const Element& field) {
  refresh();
  // Not journaled, like secure event input: a fact of the field, asked only for a text that
  // holds such a character.
  const Target target = reach(handleOf(field));
  return target.error != kAxSuccess || target.node == nullptr || target.node->astralKeys;
}

// --- keyboard events ---

bool SimDesktop::secureEventInput() {
  refresh();
  return desktop_.secureInput;
}

std::uint64_t SimDesktop::modifierFlags() {
  refresh();
  const std::uint64_t flags = desktop_.modifiers;
  record(Line("flagsState").whole("result", flags).take(), false);
  return flags;
}

KeyEvent SimDesktop::createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) {
  refresh();
  const bool created = !desktop_.eventCreations || creationsSinceLoad_ < *desktop_.eventCreations;
  KeyEvent event;
  if (created) {
    ++creationsSinceLoad_;
    const std::uintptr_t ref = nextEvent_++;
    events_.emplace(ref, Event{keyDown, virtualKey, {}, 0});
    event = KeyEvent::adopt(*this, ref);
  }
  record(Line("createKeyboardEvent")
             .boolean("keyDown", keyDown)
             .integer("virtualKey", virtualKey)
             .boolean("created", created)
             .take(),
         false);
  return event;
}

void SimDesktop::setUnicodeString(KeyEvent& event, std::u16string_view units) {
  if (!event) return;
  const auto it = events_.find(event.ref());
  if (it != events_.end()) it->second.units = std::u16string(units);
}

void SimDesktop::setFlags(KeyEvent& event, std::uint64_t flags) {
  if (!event) return;
  const auto it = events_.find(event.ref());
  if (it != events_.end()) it->second.flags = flags;
}

bool SimDesktop::postToPid(Pid pid, const KeyEvent& event) {
  refresh();
  const auto it = event ? events_.find(event.ref()) : events_.end();
  Line line("postToPid");
  line.integer("pid", pid);
  if (it != events_.end()) {
    const Event& posted = it->second;
    line.boolean("keyDown", posted.keyDown)
        .units("text", posted.units)
        .integer("virtualKey", posted.virtualKey)
        .whole("flags", posted.flags);
  } else {
    // Nothing to post: the line still shows the request, but no post is counted.
    line.null("keyDown").null("text").null("virtualKey").null("flags");
  }
  const bool posted = it != events_.end();
  if (posted && it->second.keyDown) typeInto(pid, it->second.units);
  record(line.take(), posted);
  return posted;
}

void SimDesktop::typeInto(Pid pid, std::u16string_view text) {
  const auto app = desktop_.apps.find(pid);
  if (app == desktop_.apps.end() || app->second.hang) return;
  const Value* focus = find(&app->second, "AXFocusedUIElement");
  const auto* named = focus != nullptr && focus->error == kAxSuccess
                          ? std::get_if<Value::ElementId>(&focus->read)
                          : nullptr;
  if (named == nullptr) return;
  const auto node = desktop_.elements.find(named->id);
  // Keys reach only an element of the application they were posted to.
  if (node == desktop_.elements.end() || node->second.app != pid) return;
  std::optional<DeferredWrite> later;
  node->second.type(text, later);
  if (later) deferred_.push_back({named->id, std::move(*later)});
}

// --- misc ---

std::string SimDesktop::newUuid() {
  std::uint8_t bytes[16];
  try {
    std::random_device device;
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(device() & 0xFF);
  } catch (...) {
    // No entropy source: tokens need only be unique within this process.
    static std::mt19937_64 fallback(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(fallback() & 0xFF);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uuid;
  uuid.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) uuid.push_back('-');
    uuid.push_back(kHex[bytes[i] >> 4]);
    uuid.push_back(kHex[bytes[i] & 0x0F]);
  }
  return uuid;
}

void SimDesktop::pause(double seconds) {
  refresh();
  record(Line("pause").raw("seconds", json(seconds).dump()).take(), false,
         Moment{.pause = true, .setting = std::nullopt});
  wait_(seconds);
}

double SimDesktop::now() {
  refresh();
  if (desktop_.clock) return *desktop_.clock;
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
}

}  // namespace caretsafe::sim
