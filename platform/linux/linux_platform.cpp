#include "platform/linux/linux_platform.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/app_ids.h"
#include "platform/linux/accessibility/atspi_util.h"
#include "platform/linux/processes.h"
#include "platform/sleep.h"
#include "platform/stop_request.h"
#include "text/utf.h"

namespace caretsafe::linux_desktop {

using namespace atspi;

namespace {

bool sameText(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

AttributeRead failure(AxError error = kAxErrorCannotComplete) {
  return {error, NoValue{}};
}

AttributeRead text(std::string_view utf8) {
  return {kAxSuccess,
          AttributeValue(std::in_place_type<std::u16string>, text::utf16FromUtf8(utf8))};
}

}  // namespace

struct LinuxPlatform::Handle {
  std::size_t references = 1;
  AtspiAccessible* accessible = nullptr;  // owned; null for an application or a window
  Pid pid = 0;                            // an application's process, or a window's
  WindowId window = 0;                    // a terminal's window, standing for its text area
  // For an accessible: the window that held the keyboard focus when it was looked up, when it
  // belonged to the same process. Keys go to that window, so an accessible found while the focus
  // was in another window of the same process (the toolkit not yet told of the move) is not the
  // same target.
  WindowId focusWindow = 0;
  int timeoutMs = kDefaultTimeoutMs;
};

// A keyboard event: what the core gave it. Posting the key-down types the scalar, press and
// release together; the key-up has nothing left to do.
struct LinuxPlatform::Key {
  bool keyDown = false;
  std::u16string units;
};

LinuxPlatform::LinuxPlatform() : LinuxPlatform(sessionDisplayServer()) {}

LinuxPlatform::LinuxPlatform(std::unique_ptr<DisplayServer> display)
    : display_(std::move(display)) {}

LinuxPlatform::~LinuxPlatform() {
  // What typing left on the display server is put back while it is still open.
  display_->release();
}

// --- bookkeeping ------------------------------------------------------------------------

Element LinuxPlatform::newElement(AtspiAccessible* owned) {
  auto* handle = new Handle{};
  handle->accessible = owned;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

Element LinuxPlatform::newWindowElement(WindowId window, Pid pid) {
  auto* handle = new Handle{};
  handle->window = window;
  handle->pid = pid;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

LinuxPlatform::Handle* LinuxPlatform::handleOf(const Element& element) const {
  return element ? reinterpret_cast<Handle*>(element.ref()) : nullptr;
}

void LinuxPlatform::retainElement(std::uintptr_t ref) noexcept {
  ++reinterpret_cast<Handle*>(ref)->references;
  ++liveReferences_;
}

void LinuxPlatform::releaseElement(std::uintptr_t ref) noexcept {
  auto* handle = reinterpret_cast<Handle*>(ref);
  --liveReferences_;
  if (--handle->references != 0) return;
  if (handle->accessible != nullptr) g_object_unref(handle->accessible);
  delete handle;
}

void LinuxPlatform::releaseKeyEvent(std::uintptr_t ref) noexcept {
  delete reinterpret_cast<Key*>(ref);
}

// --- permission and applications -------------------------------------------------------

bool LinuxPlatform::isProcessTrusted() {
  if (!display_->answers()) return false;
  atspi_.bus().setTimeout(kDefaultTimeoutMs);
  return atspi_.bus().ready([this] { return display_->accessibilityBusAddress(); });
}

bool LinuxPlatform::sandboxed() {
  const Pid own = ownPid();
  const std::optional<bool> displaySeesOther = display_->seesOtherPid(own);
  if (atspi_.bus().connected() &&
      (!sandboxedBus_ || sandboxedBusGeneration_ != atspi_.bus().generation())) {
    const char* name = dbus_bus_get_unique_name(atspi_.bus().connection());
    const std::optional<int> seen = name != nullptr ? atspi_.bus().processOf(name) : std::nullopt;
    if (seen) {
      sandboxedBus_ = *seen != own;
      sandboxedBusGeneration_ = atspi_.bus().generation();
    }
  }
  return displaySeesOther.value_or(false) || sandboxedBus_.value_or(false);
}

std::optional<RunningApp> LinuxPlatform::frontmostApplication() {
  // Pids from another namespace would be compared with ours: refused rather than guessed.
  if (sandboxed()) return std::nullopt;
  const std::optional<Pid> pid =
      display_->frontmostPid([this] { return atspi_.activeProcesses(); });
  if (!pid) return std::nullopt;
  return RunningApp{*pid, processApplicationId(*pid)};
}

std::optional<RunningApp> LinuxPlatform::runningApplication(Pid pid) {
  if (!processExists(pid)) return std::nullopt;
  return RunningApp{pid, processApplicationId(pid)};
}

Pid LinuxPlatform::ownPid() {
  return static_cast<Pid>(::getpid());
}

std::optional<Pid> LinuxPlatform::parentPid() {
  return static_cast<Pid>(::getppid());
}

std::uintptr_t LinuxPlatform::openReleasePool() {
  atspi_.bus().drain();
  return 0;
}

// --- elements ---------------------------------------------------------------------------

Element LinuxPlatform::createApplication(Pid pid) {
  auto* handle = new Handle{};
  handle->pid = pid;
  ++liveReferences_;
  return Element::adopt(*this, reinterpret_cast<std::uintptr_t>(handle));
}

void LinuxPlatform::setMessagingTimeout(const Element& element, float seconds) {
  Handle* handle = handleOf(element);
  if (handle == nullptr) return;
  // Zero (or anything unusable) means the default, as for the platform this seam follows.
  const double ms = std::round(static_cast<double>(seconds) * 1000.0);
  handle->timeoutMs =
      std::isfinite(ms) && ms >= 1 && ms <= INT_MAX ? static_cast<int>(ms) : kDefaultTimeoutMs;
  atspi_.bus().setTimeout(handle->timeoutMs);
}

bool LinuxPlatform::elementsEqual(const Element& a, const Element& b) {
  const Handle* x = handleOf(a);
  const Handle* y = handleOf(b);
  if (x == nullptr || y == nullptr) return false;
  if (x->accessible == nullptr || y->accessible == nullptr) {
    return x->accessible == y->accessible && x->pid == y->pid && x->window == y->window;
  }
  return sameText(busNameOf(x->accessible), busNameOf(y->accessible)) &&
         sameText(pathOf(x->accessible), pathOf(y->accessible)) && x->focusWindow == y->focusWindow;
}

AttributeRead LinuxPlatform::copyAttributeValue(const Element& element,
                                                std::string_view attribute) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return failure(kAxErrorInvalidUiElement);
  if (!atspi_.bus().connected()) return failure();
  if (handle->window != 0) {
    // A terminal's window, standing for its text area: an empty, enabled field with the caret
    // at its start, so the value and caret checks hold nothing; the focus is checked at
    // window level before every character.
    if (attribute == "AXRole") return text("AXTextArea");
    if (attribute == "AXSubrole") return failure(kAxErrorNoValue);
    if (attribute == "AXEnabled")
      return {kAxSuccess, AttributeValue(std::in_place_type<bool>, true)};
    if (attribute == "AXSelectedTextRange")
      return {kAxSuccess, AxValue{kAxValueKindRange, Range{}}};
    if (attribute == "AXValue") return text("");
    return failure(kAxErrorAttributeUnsupported);
  }
  if (handle->accessible == nullptr) {
    if (attribute == "AXFocusedUIElement") return focusedElement(*handle);
    return failure(kAxErrorAttributeUnsupported);
  }
  if (attribute == "AXRole") return role(*handle);
  if (attribute == "AXSubrole") return subrole(*handle);
  if (attribute == "AXEnabled") return enabled(*handle);
  if (attribute == "AXSelectedTextRange") return selectedRange(*handle);
  if (attribute == "AXValue") return value(*handle);
  return failure(kAxErrorAttributeUnsupported);
}

// --- the focused element ----------------------------------------------------------------

AttributeRead LinuxPlatform::focusedElement(const Handle& application) {
  // A terminal, or a field that takes keys only, is typed into by keys, which go to the focus
  // window: they may go only to the window that held the focus when this lookup began (see
  // postToPid). A move after that, even to another window of the same process, stops them, and
  // the element found is the same target only with the same window.
  keyTarget_ = {};
  const bool terminal = isListedTerminal(application.pid);
  const std::optional<WindowId> window =
      display_->keyWindow(application.pid, [this] { return atspi_.activeProcesses(); });
  // A window the display server cannot name stands for no terminal of its own.
  const bool namedWindow = window && DisplayServer::namesWindow(*window);
  const auto answer = [&](Element element) -> AttributeRead {
    if (window) {
      keyTarget_ = {application.pid, *window, terminal};
      handleOf(element)->focusWindow = *window;
    }
    return {kAxSuccess, std::move(element)};
  };
  const AccessibleDesktop::Lookup lookup =
      atspi_.focusedAccessible(application.pid, application.timeoutMs, terminal && namedWindow);
  switch (lookup.kind) {
    case AccessibleDesktop::Lookup::kFound:
      return answer(newElement(lookup.found));
    case AccessibleDesktop::Lookup::kNoAccessible:
      // Only a terminal that exposes no accessible at all stands for itself by its window. One
      // that does, with nothing focused in it (its window not active yet, the focus somewhere
      // with no accessible), has no text area to offer now.
      if (terminal && namedWindow) return answer(newWindowElement(*window, application.pid));
      return failure(kAxErrorNoValue);
    case AccessibleDesktop::Lookup::kNothingFocused:
      return failure(kAxErrorNoValue);
    case AccessibleDesktop::Lookup::kFailed:
      break;
  }
  return failure();
}

bool LinuxPlatform::isListedTerminal(Pid pid) {
  const std::optional<std::string> id = processApplicationId(pid);
  return id &&
         std::find(kTerminalAppIds.begin(), kTerminalAppIds.end(), *id) != kTerminalAppIds.end();
}

// --- the attributes of a field ----------------------------------------------------------

namespace {

// A fresh read of the element's role; ATSPI_ROLE_INVALID when it cannot be read.
AtspiRole currentRole(AtspiAccessible* accessible) {
  ErrorSlot error;
  const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
  return error.failed() ? ATSPI_ROLE_INVALID : role;
}

}  // namespace

AttributeRead LinuxPlatform::role(const Handle& element) {
  if (!atspi_.arm(element.timeoutMs)) return failure();
  atspi_.note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  switch (role) {
    case ATSPI_ROLE_INVALID:
      return failure();
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return text("AXTextField");
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_TERMINAL:
      return text("AXTextArea");
    case ATSPI_ROLE_TEXT: {
      // GTK's text role covers entries and text views alike; the state tells them apart.
      atspi_.note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return failure();
      const bool multiLine = atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE);
      return text(multiLine ? "AXTextArea" : "AXTextField");
    }
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_COMBO_BOX: {
      // In a web page an editable element (contenteditable) is a section, and an input with
      // suggestions (a datalist) a combo box, both with editable text (measured in Chromium
      // and Firefox). Elsewhere these roles are containers and stay refused.
      const std::optional<std::string> toolkit =
          atspi_.toolkitName(element.accessible, element.timeoutMs);
      if (!toolkit || !webToolkit(*toolkit)) return text("AXUnknown");
      atspi_.note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return failure();
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE)) return text("AXUnknown");
      const bool multiLine = atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE);
      return text(multiLine ? "AXTextArea" : "AXTextField");
    }
    default:
      // Any other role is one the insertion policy refuses.
      return text("AXUnknown");
  }
}

AttributeRead LinuxPlatform::subrole(const Handle& element) {
  if (!atspi_.arm(element.timeoutMs)) return failure();
  atspi_.note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  if (role == ATSPI_ROLE_INVALID) return failure();
  if (role == ATSPI_ROLE_PASSWORD_TEXT) return text("AXSecureTextField");
  return failure(kAxErrorNoValue);
}

AttributeRead LinuxPlatform::enabled(const Handle& element) {
  if (!atspi_.arm(element.timeoutMs)) return failure();
  atspi_.note("GetState", element.accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
  if (!states) return failure();
  // GTK 4 sets only SENSITIVE.
  const bool on = atspi_state_set_contains(states.get(), ATSPI_STATE_ENABLED) ||
                  atspi_state_set_contains(states.get(), ATSPI_STATE_SENSITIVE);
  return {kAxSuccess, AttributeValue(std::in_place_type<bool>, on)};
}

AttributeRead LinuxPlatform::selectedRange(const Handle& element) {
  const std::optional<TextUnits> units = atspi_.unitsOf(element.accessible, element.timeoutMs);
  if (!units) return failure();
  const Owned<AtspiText> textIface(atspi_accessible_get_text(element.accessible));
  if (!textIface) return failure(kAxErrorAttributeUnsupported);
  ErrorSlot error;
  if (!atspi_.arm(element.timeoutMs)) return failure();
  atspi_.note("GetCaretOffset", element.accessible);
  const gint caret = atspi_text_get_caret_offset(textIface.get(), error.out());
  if (error.failed()) return failure();
  // A field that holds no caret right now (Gecko's answer while its window's focus is handed
  // over for a moment) answered, with no value.
  if (caret < 0) return failure(kAxErrorNoValue);
  atspi_.note("GetNSelections", element.accessible);
  const gint selections = atspi_text_get_n_selections(textIface.get(), error.out());
  if (error.failed()) return failure();
  std::int64_t start = caret;
  std::int64_t end = caret;
  if (selections > 0) {
    atspi_.note("GetSelection", element.accessible);
    AtspiRange* first = atspi_text_get_selection(textIface.get(), 0, error.out());
    if (error.failed() || first == nullptr) {
      g_free(first);
      return failure();
    }
    if (first->start_offset != first->end_offset) {
      start = std::min(first->start_offset, first->end_offset);
      end = std::max(first->start_offset, first->end_offset);
    }
    g_free(first);
  }
  if (start < 0) return failure();
  Range range{start, end - start};

  if (*units == TextUnits::kCodePoints) {
    // Converting needs the text before the offsets; a password's text is never asked for, so
    // its range stays in the toolkit's units (the policy refuses such a field anyway, and its
    // value is never read).
    if (end > INT_MAX) return failure();
    const TextRead prefix = readText(element, textIface.get(), *units, static_cast<int>(end));
    if (!prefix.refused) {
      if (!prefix.utf8) return failure();
      const std::optional<std::int64_t> from = utf16Offset(*units, *prefix.utf8, start);
      const std::optional<std::int64_t> to = utf16Offset(*units, *prefix.utf8, end);
      if (!from || !to) return failure();
      range = Range{*from, *to - *from};
    }
  }
  return {kAxSuccess, AxValue{kAxValueKindRange, range}};
}

AttributeRead LinuxPlatform::value(const Handle& element) {
  const std::optional<TextUnits> units = atspi_.unitsOf(element.accessible, element.timeoutMs);
  if (!units) return failure();
  const Owned<AtspiText> textIface(atspi_accessible_get_text(element.accessible));
  if (!textIface) return failure(kAxErrorAttributeUnsupported);
  const TextRead whole = readText(element, textIface.get(), *units, -1);
  if (!whole.utf8) return failure();
  return text(fieldText(*units, *whole.utf8));
}

LinuxPlatform::TextRead LinuxPlatform::readText(const Handle& element, AtspiText* textIface,
                                                TextUnits units, int end) {
  if (!atspi_.arm(element.timeoutMs)) return {};
  atspi_.note("GetRole", element.accessible);
  const AtspiRole role = currentRole(element.accessible);
  if (role == ATSPI_ROLE_INVALID) return {};
  if (role == ATSPI_ROLE_PASSWORD_TEXT) return {true, std::nullopt};
  if (role == ATSPI_ROLE_TEXT) {
    const std::optional<bool> hides = atspi_.hidesTextUnseen(element.accessible, element.timeoutMs);
    if (!hides) return {};
    if (*hides) {
      if (!atspi_.arm(element.timeoutMs)) return {};
      atspi_.note("GetState", element.accessible);
      const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(element.accessible));
      if (!states) return {};
      if (!atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE))
        return {true, std::nullopt};
    }
  }
  if (!atspi_.arm(element.timeoutMs)) return {};
  ErrorSlot error;
  gint count = -1;
  if (end < 0) {
    atspi_.note("GetCharacterCount", element.accessible);
    count = atspi_text_get_character_count(textIface, error.out());
    if (error.failed() || count < 0) return {};
  }
  atspi_.note("GetText", element.accessible);
  const OwnedText got(atspi_text_get_text(textIface, 0, end, error.out()));
  if (error.failed() || !got) return {};
  std::string utf8(got.get());
  // A whole text that disagrees with the count is not the field's text: such a field is
  // unreadable, never written blind.
  if (end < 0 && unitCount(units, utf8) != static_cast<std::size_t>(count)) return {};
  return {false, std::move(utf8)};
}

SettableAnswer LinuxPlatform::isAttributeSettable(const Element& element,
                                                  std::string_view attribute) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return {kAxErrorInvalidUiElement, false};
  if (!atspi_.bus().connected()) return {kAxErrorCannotComplete, false};
  // A terminal's window takes keys, never an accessibility write.
  if (handle->accessible == nullptr || attribute != "AXSelectedText") return {kAxSuccess, false};
  // Only where the text's units are known can a write land where it is meant to, and only
  // where a write is known to take is it tried at all.
  const std::optional<std::string> toolkit =
      atspi_.toolkitName(handle->accessible, handle->timeoutMs);
  if (!toolkit || !toolkitUnits(*toolkit) || !toolkitWriteTakes(*toolkit))
    return {kAxSuccess, false};
  if (!atspi_.arm(handle->timeoutMs)) return {kAxErrorCannotComplete, false};
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  if (!editable) return {kAxSuccess, false};
  atspi_.note("GetState", handle->accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(handle->accessible));
  if (!states) return {kAxErrorCannotComplete, false};
  // Qt keeps EDITABLE on a read-only line edit and adds READ_ONLY.
  const bool settable = atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
                        !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
  return {kAxSuccess, settable};
}

bool LinuxPlatform::typedOnly(const Element& element) {
  const Handle* handle = handleOf(element);
  // A terminal's window is typed into as a terminal, never as a field.
  if (handle == nullptr || handle->accessible == nullptr || !atspi_.bus().connected()) return false;
  // Keys are placed by the toolkit itself, but the caret and the read-back need its units.
  const std::optional<std::string> toolkit =
      atspi_.toolkitName(handle->accessible, handle->timeoutMs);
  if (!toolkit || !toolkitUnits(*toolkit)) return false;
  if (!atspi_.arm(handle->timeoutMs)) return false;
  const Owned<AtspiText> textIface(atspi_accessible_get_text(handle->accessible));
  if (!textIface) return false;
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  // A field that offers a write that works gets the write.
  if (editable && toolkitWriteTakes(*toolkit)) return false;
  atspi_.note("GetState", handle->accessible);
  const Owned<AtspiStateSet> states(atspi_accessible_get_state_set(handle->accessible));
  if (!states) return false;
  // Chromium's fields (editable text with no EditableText interface at all) and Firefox's.
  return atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) &&
         !atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY);
}

bool LinuxPlatform::typesAstral(const Element& field) {
  if (display_->chromiumTakesAstralKeys()) return true;
  const Handle* handle = handleOf(field);
  if (handle == nullptr || handle->accessible == nullptr || !atspi_.bus().connected()) return true;
  // Unknown counts as Chromium: a refusal costs the user a retry, a wrong character costs trust.
  const std::optional<std::string> toolkit =
      atspi_.toolkitName(handle->accessible, handle->timeoutMs);
  return toolkit && !toolkitIsChromium(*toolkit);
}

AxError LinuxPlatform::setAttributeValue(const Element& element, std::string_view attribute,
                                         std::u16string_view text) {
  const Handle* handle = handleOf(element);
  if (handle == nullptr) return kAxErrorInvalidUiElement;
  if (!atspi_.bus().connected()) return kAxErrorCannotComplete;
  if (handle->accessible == nullptr || attribute != "AXSelectedText") {
    return kAxErrorAttributeUnsupported;
  }
  // The text crosses as a C string: a NUL would cut it short after part of it was written.
  if (text.find(u'\0') != std::u16string_view::npos) return kAxErrorFailure;
  const std::optional<std::string> toolkit =
      atspi_.toolkitName(handle->accessible, handle->timeoutMs);
  const std::optional<TextUnits> units = toolkit ? toolkitUnits(*toolkit) : std::nullopt;
  if (!units || !toolkitWriteTakes(*toolkit)) return kAxErrorCannotComplete;
  const Owned<AtspiText> textIface(atspi_accessible_get_text(handle->accessible));
  const Owned<AtspiEditableText> editable(atspi_accessible_get_editable_text(handle->accessible));
  if (!textIface || !editable) return kAxErrorAttributeUnsupported;

  if (!atspi_.arm(handle->timeoutMs)) return kAxErrorCannotComplete;
  ErrorSlot error;
  atspi_.note("GetCaretOffset", handle->accessible);
  const gint caret = atspi_text_get_caret_offset(textIface.get(), error.out());
  if (error.failed() || caret < 0) return kAxErrorCannotComplete;
  atspi_.note("GetNSelections", handle->accessible);
  const gint selections = atspi_text_get_n_selections(textIface.get(), error.out());
  if (error.failed()) return kAxErrorCannotComplete;
  if (selections > 0) {
    // Setting the selected text replaces a selection; this write only inserts at a caret,
    // so a selection that appeared since the caret was checked stops it.
    atspi_.note("GetSelection", handle->accessible);
    AtspiRange* first = atspi_text_get_selection(textIface.get(), 0, error.out());
    const bool empty =
        !error.failed() && first != nullptr && first->start_offset == first->end_offset;
    g_free(first);
    if (!empty) return kAxErrorCannotComplete;
  }

  const std::string utf8 = text::utf8FromUtf16(text);
  const std::int64_t length = insertLength(*units, utf8, text);
  if (length > INT_MAX) return kAxErrorFailure;
  atspi_.note("InsertText", handle->accessible);
  const gboolean inserted = atspi_editable_text_insert_text(editable.get(), caret, utf8.c_str(),
                                                            static_cast<gint>(length), error.out());
  return inserted && !error.failed() ? kAxSuccess : kAxErrorCannotComplete;
}

// --- keyboard events --------------------------------------------------------------------

std::uint64_t LinuxPlatform::modifierFlags() {
  return display_->modifierFlags();
}

KeyEvent LinuxPlatform::createKeyboardEvent(std::uint16_t, bool keyDown) {
  return KeyEvent::adopt(*this, reinterpret_cast<std::uintptr_t>(new Key{keyDown, {}}));
}

void LinuxPlatform::setUnicodeString(KeyEvent& event, std::u16string_view units) {
  if (event) reinterpret_cast<Key*>(event.ref())->units.assign(units);
}

// Keys are typed with no modifier held, whatever flags the event would carry.
void LinuxPlatform::setFlags(KeyEvent&, std::uint64_t) {}

bool LinuxPlatform::postToPid(Pid pid, const KeyEvent& event) {
  if (!event) return false;
  const Key& key = *reinterpret_cast<const Key*>(event.ref());
  if (!key.keyDown) return true;
  if (key.units.empty()) return false;
  // Asked to stop: the text is cut short here, and the answer says so.
  if (stopRequested()) return false;
  const text::ScalarAt scalar = text::scalarAt(key.units, 0, text::LoneSurrogates::kKeep);
  if (scalar.units != key.units.size()) return false;
  // Keys go only to the window the last focus lookup for this process began with.
  if (keyTarget_.pid != pid || keyTarget_.window == 0) return false;
  // The display server checks, as it sends the key, that the focus is still in that window.
  return display_->typeScalar(scalar.scalar, pid, keyTarget_.window,
                              /*field=*/!keyTarget_.terminal);
}

// --- misc -------------------------------------------------------------------------------

std::string LinuxPlatform::newUuid() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // A token must never be guessable or blank: without randomness there is no safe answer.
      std::abort();
    }
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uuid;
  uuid.reserve(36);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) uuid.push_back('-');
    uuid.push_back(kHex[bytes[i] >> 4]);
    uuid.push_back(kHex[bytes[i] & 0x0F]);
  }
  return uuid;
}

void LinuxPlatform::pause(double seconds) {
  sleepSeconds(seconds);
}

double LinuxPlatform::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
}

}  // namespace caretsafe::linux_desktop
