#include "platform/sim/sim_desktop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>

#include <utf8proc.h>

#include "platform/sim/desktop_forms.h"
#include "platform/sim/json_text.h"
#include "text/utf.h"

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
  Line& modelText(std::string_view key, std::string_view value) {
    name(key);
    appendJsonModelString(text_, value);
    return *this;
  }
  Line& value(std::string_view key, const json& item) {
    name(key);
    appendJsonValue(text_, item);
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

// The model keeps its strings in UTF-8 that may hold lone surrogates (see text::LoneSurrogates).
std::u16string modelUnits(std::string_view text) {
  return text::utf16FromUtf8(text, text::LoneSurrogates::kKeep);
}
std::string modelTextOf(std::u16string_view units) {
  return text::utf8FromUtf16(units, text::LoneSurrogates::kKeep);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool inside(const Range& range, std::size_t length) {
  return range.location >= 0 && range.length >= 0 &&
         static_cast<std::uint64_t>(range.location) <= length &&
         static_cast<std::uint64_t>(range.length) <=
             length - static_cast<std::size_t>(range.location);
}

// Normalisation form D of the text. A lone surrogate cannot go through UTF-8, so the runs
// between lone surrogates are decomposed on their own and the surrogates kept as they are.
std::optional<std::u16string> decomposed(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t runStart = 0;
  const auto flush = [&](std::size_t end) {
    if (end == runStart) return true;
    const std::string utf8 = modelTextOf(text.substr(runStart, end - runStart));
    utf8proc_uint8_t* result = nullptr;
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                     static_cast<utf8proc_ssize_t>(utf8.size()), &result,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    if (length < 0) return false;
    out += modelUnits(
        std::string_view(reinterpret_cast<const char*>(result), static_cast<std::size_t>(length)));
    std::free(result);
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text::isHighSurrogate(text[i]) && i + 1 < text.size() &&
        text::isLowSurrogate(text[i + 1])) {
      ++i;
    } else if (text::isSurrogate(text[i])) {
      if (!flush(i)) return std::nullopt;
      out.push_back(text[i]);
      runStart = i + 1;
    }
  }
  if (!flush(text.size())) return std::nullopt;
  return out;
}

std::u16string caseSwapped(std::u16string_view text) {
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

// Replaces the selection of `attributes` (already checked to be inside `current`) by the
// text, cutting the result to `limit` units when given, and leaves the caret after the text.
void splice(json& attributes, std::u16string current, const Range& selection,
            std::u16string_view inserted, std::optional<std::uint64_t> limit) {
  const auto location = static_cast<std::size_t>(selection.location);
  current.replace(location, static_cast<std::size_t>(selection.length), inserted);
  std::size_t caret = location + inserted.size();
  if (limit && *limit < current.size()) {
    auto cut = static_cast<std::size_t>(*limit);
    // Never keep the first half of a pair without its second.
    if (cut > 0 && text::isHighSurrogate(current[cut - 1]) && text::isLowSurrogate(current[cut])) {
      --cut;
    }
    current.resize(cut);
    caret = std::min(caret, cut);
  }
  attributes[std::string(kValue)] = modelTextOf(current);
  attributes[std::string(kSelectedTextRange)] = {{"range", {static_cast<std::int64_t>(caret), 0}}};
}

std::optional<std::uint64_t> unsignedMember(const json& object, std::string_view name) {
  const json* value = member(object, name);
  return value != nullptr ? integerOf<std::uint64_t>(*value) : std::nullopt;
}

std::optional<Pid> frontmostPid(const json& model) {
  const json* value = member(model, "frontmost");
  return value != nullptr ? pidOf(*value) : std::nullopt;
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
  try {
    if (withinDepth(desktop) && isValidDesktop(desktop)) {
      model_ = desktop;
    } else {
      model_ = json{{"trusted", false}};
    }
  } catch (...) {
    model_ = json{{"trusted", false}};
  }
  opsSinceLoad_ = 0;
  postsSinceLoad_ = 0;
  creationsSinceLoad_ = 0;
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
  applyPatch(mergePatch);
}

void SimDesktop::applyPatch(const json& mergePatch) {
  model_.merge_patch(mergePatch);
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
  const json* node = nullptr;
  if (startsWith(elementId, kAppPrefix)) {
    node = member(model_, "apps");
    node = node != nullptr ? member(*node, elementId.substr(kAppPrefix.size())) : nullptr;
  } else {
    node = member(model_, "elements");
    node = node != nullptr ? member(*node, elementId) : nullptr;
  }
  const json* attributes = node != nullptr ? member(*node, "attributes") : nullptr;
  const json* value = attributes != nullptr ? member(*attributes, name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

// --- journal and schedule ---

void SimDesktop::record(std::string line, bool post) {
  ++opsSinceLoad_;
  if (post) ++postsSinceLoad_;
  if (file_) {
    file_->append(std::move(line));
  } else {
    journal_.push_back(std::move(line));
  }

  const json* schedule = member(model_, "schedule");
  if (schedule == nullptr || !schedule->is_array()) return;
  // Collected first: a patch may replace the schedule itself. An entry fires when its count
  // is reached, and each count is reached once per load, so nothing fires twice.
  std::vector<json> due;
  for (const json& item : *schedule) {
    const auto entry = scheduleEntry(item);
    if (!entry) continue;
    const bool fires = entry->trigger == ScheduleEntry::Trigger::kAfterOps
                           ? entry->count == opsSinceLoad_
                           : post && entry->count == postsSinceLoad_;
    if (fires) due.push_back(*entry->patch);
  }
  for (const json& patch : due) applyPatch(patch);
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
  const json* apps = member(model_, "apps");
  const json* app = apps != nullptr ? member(*apps, keyOfPid(pid)) : nullptr;
  if (app != nullptr && app->is_object()) {
    RunningApp running{pid, std::nullopt};
    const json* bundleId = member(*app, "bundleId");
    if (bundleId != nullptr && bundleId->is_string()) {
      running.bundleId = text::utf8FromUtf16(modelUnits(bundleId->get_ref<const std::string&>()));
    }
    return running;
  }
  // The frontmost application runs whether or not `apps` lists it.
  if (frontmostPid(model_) == pid) return RunningApp{pid, std::nullopt};
  return std::nullopt;
}

bool SimDesktop::isProcessTrusted() {
  refresh();
  const json* trusted = member(model_, "trusted");
  const bool result = trusted == nullptr || !trusted->is_boolean() || trusted->get<bool>();
  record(Line("isProcessTrusted").boolean("result", result).take(), false);
  return result;
}

std::optional<RunningApp> SimDesktop::frontmostApplication() {
  refresh();
  const std::optional<Pid> pid = frontmostPid(model_);
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
  if (!app) {
    line.boolean("result", false);
  } else if (!app->bundleId) {
    line.null("result");
  } else {
    line.modelText("result", *app->bundleId);
  }
  record(line.take(), false);
  return app;
}

Pid SimDesktop::ownPid() {
  refresh();
  const json* value = member(model_, "ownPid");
  const std::optional<Pid> pid = value != nullptr ? pidOf(*value) : std::nullopt;
  return pid.value_or(1);
}

std::optional<Pid> SimDesktop::parentPid() {
  refresh();
  const json* value = member(model_, "parentPid");
  return value != nullptr ? pidOf(*value) : std::nullopt;
}

// --- accessibility ---

SimDesktop::Resolved SimDesktop::resolve(const Handle* handle) {
  Resolved target;
  if (handle == nullptr) {
    target.error = kAxErrorIllegalArgument;
    return target;
  }
  const std::string_view id = handle->elementId;
  if (startsWith(id, kAppPrefix)) {
    const std::optional<Pid> pid = pidOfKey(id.substr(kAppPrefix.size()));
    json* apps = member(model_, "apps");
    json* app = apps != nullptr && pid ? member(*apps, keyOfPid(*pid)) : nullptr;
    if (app != nullptr && app->is_object()) {
      target.node = app;
    } else if (!pid || frontmostPid(model_) != pid) {
      target.error = kAxErrorInvalidUiElement;  // no such application runs
      return target;
    }
    target.owner = pid;
    target.application = true;
    return target;
  }
  json* elements = member(model_, "elements");
  json* element = elements != nullptr ? member(*elements, id) : nullptr;
  if (element == nullptr || !element->is_object()) {
    target.error = kAxErrorInvalidUiElement;
    return target;
  }
  target.node = element;
  const json* app = member(*element, "app");
  target.owner = app != nullptr ? pidOf(*app) : std::nullopt;
  return target;
}

const json* SimDesktop::attributesOf(const Resolved& target) const {
  return target.node != nullptr ? member(*target.node, "attributes") : nullptr;
}

bool SimDesktop::hung(const Resolved& target) const {
  if (!target.owner) return false;
  const json* apps = member(model_, "apps");
  const json* app = apps != nullptr ? member(*apps, keyOfPid(*target.owner)) : nullptr;
  const json* hang = app != nullptr ? member(*app, "hang") : nullptr;
  return hang != nullptr && *hang == true;
}

void SimDesktop::waitOn(const Handle& handle) {
  wait_(handle.timeout.value_or(kDefaultMessagingTimeout));
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
  Line line("setMessagingTimeout");
  if (found != nullptr) {
    line.modelText("element", found->elementId);
  } else {
    line.null("element");
  }
  record(line.raw("seconds", floatText(seconds)).take(), false);
}

AttributeRead SimDesktop::readForm(const json& value) {
  using Kind = AttributeForm::Kind;
  const std::optional<AttributeForm> form = attributeForm(value);
  // A value that a patch left without any form stands for some other platform object.
  if (!form) return {kAxSuccess, OtherValue{}};
  switch (form->kind) {
    case Kind::kText:
      return {kAxSuccess, modelUnits(*form->text)};
    case Kind::kBoolean:
      return {kAxSuccess, form->boolean};
    case Kind::kNumber:
      return {kAxSuccess, NumberValue{form->number}};
    case Kind::kNone:
      return {kAxSuccess, NoValue{}};
    case Kind::kRange:
      return {kAxSuccess, AxValue{kAxValueKindRange, form->range}};
    case Kind::kPoint:
      return {kAxSuccess, AxValue{1, std::nullopt}};
    case Kind::kSize:
      return {kAxSuccess, AxValue{2, std::nullopt}};
    case Kind::kElement:
      return {kAxSuccess, newHandle(*form->text)};
    case Kind::kError:
      return {form->error, NoValue{}};
  }
  return {kAxSuccess, OtherValue{}};
}

AttributeRead SimDesktop::copyAttributeValue(const Element& element, std::string_view attribute) {
  refresh();
  const Handle* handle = handleOf(element);
  const Resolved target = resolve(handle);
  AttributeRead read;
  if (target.error != kAxSuccess) {
    read.error = target.error;
  } else if (hung(target)) {
    waitOn(*handle);
    read.error = kAxErrorCannotComplete;
  } else {
    const json* attributes = attributesOf(target);
    const json* value = attributes != nullptr ? member(*attributes, attribute) : nullptr;
    if (value == nullptr) {
      read.error = kAxErrorAttributeUnsupported;
    } else {
      read = readForm(*value);
    }
  }
  if (handle != nullptr && attribute == kValue) applyDeferred(handle->elementId);

  Line line("copyAttributeValue");
  if (handle != nullptr) {
    line.modelText("element", handle->elementId);
  } else {
    line.null("element");
  }
  line.modelText("attribute", attribute).integer("error", read.error);
  record(line.take(), false);
  return read;
}

SettableAnswer SimDesktop::isAttributeSettable(const Element& element, std::string_view attribute) {
  refresh();
  const Handle* handle = handleOf(element);
  const Resolved target = resolve(handle);
  SettableAnswer answer{kAxSuccess, false};
  if (target.error != kAxSuccess) {
    answer.error = target.error;
  } else if (hung(target)) {
    waitOn(*handle);
    answer.error = kAxErrorCannotComplete;
  } else {
    // Application elements have no settable table.
    const json* settable =
        target.node != nullptr && !target.application ? member(*target.node, "settable") : nullptr;
    const json* value = settable != nullptr ? member(*settable, attribute) : nullptr;
    const std::optional<SettableAnswer> form =
        value != nullptr ? settableForm(*value) : std::nullopt;
    answer = form.value_or(SettableAnswer{kAxErrorAttributeUnsupported, false});
  }

  Line line("isAttributeSettable");
  if (handle != nullptr) {
    line.modelText("element", handle->elementId);
  } else {
    line.null("element");
  }
  line.modelText("attribute", attribute)
      .integer("error", answer.error)
      .boolean("settable", answer.settable);
  record(line.take(), false);
  return answer;
}

AxError SimDesktop::write(const Handle* handle, std::string_view attribute,
                          std::u16string_view text) {
  using Kind = WriteMode::Kind;
  const Resolved target = resolve(handle);
  if (target.error != kAxSuccess) return target.error;
  if (hung(target)) {
    waitOn(*handle);
    return kAxErrorCannotComplete;
  }
  if (attribute != kSelectedText || target.application) return kAxErrorAttributeUnsupported;

  json& element = *target.node;
  const json* modeValue = member(element, "onWrite");
  const WriteMode mode =
      (modeValue != nullptr ? writeMode(*modeValue) : std::nullopt).value_or(WriteMode{});
  if (mode.kind == Kind::kError) return mode.error;

  json* attributes = member(element, "attributes");
  const json* value = attributes != nullptr ? member(*attributes, kValue) : nullptr;
  const json* selectionValue =
      attributes != nullptr ? member(*attributes, kSelectedTextRange) : nullptr;
  if (value == nullptr || !value->is_string() || selectionValue == nullptr) {
    return kAxErrorFailure;
  }
  const std::optional<AttributeForm> selection = attributeForm(*selectionValue);
  if (!selection || selection->kind != AttributeForm::Kind::kRange) return kAxErrorFailure;
  std::u16string current = modelUnits(value->get_ref<const std::string&>());
  if (!inside(selection->range, current.size())) return kAxErrorFailure;

  switch (mode.kind) {
    case Kind::kDeferred:
      deferred_.push_back({handle->elementId, std::u16string(text), selection->range});
      return kAxSuccess;
    case Kind::kIgnore:
      return kAxSuccess;
    case Kind::kDecompose: {
      const std::optional<std::u16string> inserted = decomposed(text);
      if (!inserted) return kAxErrorFailure;
      splice(*attributes, std::move(current), selection->range, *inserted, std::nullopt);
      return kAxSuccess;
    }
    case Kind::kAlter:
      splice(*attributes, std::move(current), selection->range, caseSwapped(text), std::nullopt);
      return kAxSuccess;
    case Kind::kLimit:
      splice(*attributes, std::move(current), selection->range, text, mode.limit);
      return kAxSuccess;
    default:
      splice(*attributes, std::move(current), selection->range, text, std::nullopt);
      return kAxSuccess;
  }
}

void SimDesktop::applyDeferred(const std::string& elementId) {
  std::vector<DeferredWrite> due;
  for (auto it = deferred_.begin(); it != deferred_.end();) {
    if (it->elementId == elementId) {
      due.push_back(std::move(*it));
      it = deferred_.erase(it);
    } else {
      ++it;
    }
  }
  for (const DeferredWrite& pending : due) {
    // The field may have changed meanwhile; a change that no longer fits is dropped.
    json* elements = member(model_, "elements");
    json* element = elements != nullptr ? member(*elements, elementId) : nullptr;
    json* attributes = element != nullptr ? member(*element, "attributes") : nullptr;
    const json* value = attributes != nullptr ? member(*attributes, kValue) : nullptr;
    if (value == nullptr || !value->is_string()) continue;
    std::u16string current = modelUnits(value->get_ref<const std::string&>());
    if (!inside(pending.selection, current.size())) continue;
    splice(*attributes, std::move(current), pending.selection, pending.text, std::nullopt);
  }
}

AxError SimDesktop::setAttributeValue(const Element& element, std::string_view attribute,
                                      std::u16string_view text) {
  refresh();
  const Handle* handle = handleOf(element);
  const AxError error = write(handle, attribute, text);

  Line line("setAttributeValue");
  if (handle != nullptr) {
    line.modelText("element", handle->elementId);
  } else {
    line.null("element");
  }
  line.modelText("attribute", attribute).units("value", text).integer("error", error);
  const Resolved target = resolve(handle);
  const json* attributes = attributesOf(target);
  const json* fieldValue = attributes != nullptr ? member(*attributes, kValue) : nullptr;
  line.value("fieldValue", fieldValue != nullptr ? *fieldValue : json());
  record(line.take(), false);
  return error;
}

// --- keyboard events ---

std::uint64_t SimDesktop::modifierFlags() {
  refresh();
  const std::uint64_t flags = unsignedMember(model_, "modifiers").value_or(0);
  record(Line("flagsState").whole("result", flags).take(), false);
  return flags;
}

KeyEvent SimDesktop::createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) {
  refresh();
  const std::optional<std::uint64_t> limit = unsignedMember(model_, "eventCreations");
  const bool created = !limit || creationsSinceLoad_ < *limit;
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

void SimDesktop::postToPid(Pid pid, const KeyEvent& event) {
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
  record(line.take(), it != events_.end());
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

double SimDesktop::now() {
  refresh();
  const json* clock = member(model_, "clock");
  if (clock != nullptr && clock->is_number()) return clock->get<double>();
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
}

}  // namespace caretsafe::sim
