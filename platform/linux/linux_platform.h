// The Linux platform: the `Platform` seam over AT-SPI 2 (libatspi) and a display server.
//
// Elements and their text come from AT-SPI, the same on every session (accessibility/); the
// frontmost application, where keys go and typing them come from the display server, X11 or
// Wayland, chosen once at start (display/display.h). An `Element` carries a pointer to a
// handle of ours that owns one reference to an AtspiAccessible (none for an application, which
// is named by its pid and looked up afresh on every read). Every request to another
// application is bounded by the messaging timeout, and the focused-element lookup by the
// timeout as a whole. Nothing is ever written to standard error: Xlib's, libwayland's and
// GLib's reporting is silenced and failures become result codes.
//
// Keyboard events are objects of this adapter; posting a key-down types its scalar through the
// display server, which checks as it sends the key that the focus is still in the window that
// held it when the element's focused element was last looked up: a key never lands in another
// window, of this process or any other. Terminals that expose no accessible at all are
// represented by an element for their focused window (see `focusedElement`).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/accessibility/accessible_desktop.h"
#include "platform/linux/accessibility/toolkit_text.h"
#include "platform/linux/display/display.h"
#include "platform/platform.h"

struct _AtspiAccessible;
struct _AtspiText;

namespace caretsafe::linux_desktop {

class LinuxPlatform final : public Platform {
 public:
  // On the session's display server (see `sessionDisplayServer`).
  LinuxPlatform();
  explicit LinuxPlatform(std::unique_ptr<DisplayServer> display);
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  // Outstanding element references: each create or copy result counts 1, each retain +1,
  // each release -1 (as the simulated desktop counts them).
  std::size_t liveElementReferences() const { return liveReferences_; }

  // Sees every AT-SPI request this adapter makes to an application, before it is made: the
  // method's name ("GetText"; a property read is named after its getter, "GetCaretOffset"),
  // the application's bus name and the object path. For tests; an empty function stops
  // observing.
  using RequestObserver = AccessibleDesktop::RequestObserver;
  void observeRequests(RequestObserver observer) { atspi_.observeRequests(std::move(observer)); }

  // --- Platform ---
  bool isProcessTrusted() override;
  std::optional<RunningApp> frontmostApplication() override;
  std::optional<RunningApp> runningApplication(Pid pid) override;
  Pid ownPid() override;
  std::optional<Pid> parentPid() override;
  Element createApplication(Pid pid) override;
  void setMessagingTimeout(const Element& element, float seconds) override;
  AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override;
  SettableAnswer isAttributeSettable(const Element& element, std::string_view attribute) override;
  AxError setAttributeValue(const Element& element, std::string_view attribute,
                            std::u16string_view text) override;
  bool elementsEqual(const Element& a, const Element& b) override;
  bool typedOnly(const Element& element) override;
  // False for a Chromium or Electron field on a display server whose keys reach Chromium
  // without their characters above U+FFFF (see `DisplayServer::chromiumTakesAstralKeys`).
  bool typesAstral(const Element& field) override;
  // Chromium's tree is woken by reading attributes (see `wake`), not by a switch.
  AxError setFlagAttribute(const Element&, std::string_view, bool) override {
    return kAxErrorAttributeUnsupported;
  }
  bool builtOnElectron(Pid) override { return false; }
  // Chromium's and Firefox's fields are told by their interfaces, not by the application.
  WebEngine webEngine(Pid) override { return WebEngine::kNone; }
  // No key can reach any application: the display server takes none from us (a Wayland
  // compositor without a virtual keyboard for clients). X11 always takes them.
  bool secureEventInput() override { return !display_->canType(); }
  std::uint64_t modifierFlags() override;
  KeyEvent createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) override;
  void setUnicodeString(KeyEvent& event, std::u16string_view units) override;
  void setFlags(KeyEvent& event, std::uint64_t flags) override;
  bool postToPid(Pid pid, const KeyEvent& event) override;
  std::string newUuid() override;
  double now() override;
  void pause(double seconds) override;
  std::uintptr_t openReleasePool() override;

 protected:
  void retainElement(std::uintptr_t ref) noexcept override;
  void releaseElement(std::uintptr_t ref) noexcept override;
  void releaseKeyEvent(std::uintptr_t ref) noexcept override;

 private:
  struct Handle;
  struct Key;

  Element newElement(_AtspiAccessible* owned);
  Element newWindowElement(WindowId window, Pid pid);
  // Whether this process runs in a process-id namespace of its own (a sandbox such as
  // Flatpak's): the pids the X server and the bus name are then not ours, so neither the host
  // and parent refusal nor the terminal list, nor the owner checks of keys, can be trusted.
  // Asked of the display server (X11: the pid it sees for a window of ours) and of the
  // accessibility bus (the pid it sees for our connection), once per connection.
  bool sandboxed();
  // Whether the process is a terminal on the terminal list.
  bool isListedTerminal(Pid pid);
  Handle* handleOf(const Element& element) const;
  // The focused element of the application: an accessible, a terminal's window standing for
  // its text area, or a failure code; it records where keys for it may go (`keyTarget_`).
  AttributeRead focusedElement(const Handle& application);

  // The one reader of a field's text: from its start to `end` (-1: the whole text, then
  // checked against the character count, as a text that disagrees is not the field's). A
  // password's text is never requested, nor its length: a field with the password role, or a
  // single-line text of a toolkit whose entries hide their text unseen (GTK 4: an entry set to
  // hide its text looks like any other), is refused before any text request.
  struct TextRead {
    bool refused = false;
    std::optional<std::string> utf8;  // none when refused or the read failed
  };
  TextRead readText(const Handle& element, _AtspiText* textIface, TextUnits units, int end);
  AttributeRead role(const Handle& element);
  AttributeRead subrole(const Handle& element);
  AttributeRead enabled(const Handle& element);
  AttributeRead selectedRange(const Handle& element);
  AttributeRead value(const Handle& element);

  std::unique_ptr<DisplayServer> display_;
  AccessibleDesktop atspi_;
  std::size_t liveReferences_ = 0;
  // What `sandboxed` found for the current bus session.
  std::optional<bool> sandboxedBus_;
  std::uint64_t sandboxedBusGeneration_ = 0;
  // The window keys may go to: the one that held the focus as the last focused-element lookup
  // began, when it belonged to the application looked up (none when that lookup found nothing).
  struct KeyTarget {
    Pid pid = 0;
    WindowId window = 0;
    bool terminal = false;  // a listed terminal, typed into as one
  } keyTarget_;
};

}  // namespace caretsafe::linux_desktop
