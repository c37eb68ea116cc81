// The seam between caretsafe and the operating system.
//
// Everything that touches the desktop goes through `Platform`, drawn at the level of the
// platform's own primitives: the order and number of requests, what a failure code means and
// what is released when all live in portable code above this line. Only standard C++ types
// cross it; an adapter keeps its own object references behind small reference-counted
// handles (`Element`, `KeyEvent`).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace caretsafe {

class Platform;

// Seconds from 1970-01-01 to the platform's reference date, 2001-01-01 00:00:00 UTC: the
// wall clock (`Platform::now`) counts from there.
inline constexpr double kUnixToReferenceSeconds = 978307200.0;

// A process identifier, signed 32-bit as on the platform.
using Pid = std::int32_t;

// An accessibility result code; 0 is success, every other value is a failure.
using AxError = std::int32_t;
inline constexpr AxError kAxSuccess = 0;
inline constexpr AxError kAxErrorFailure = -25200;
inline constexpr AxError kAxErrorInvalidUiElement = -25202;
inline constexpr AxError kAxErrorCannotComplete = -25204;
inline constexpr AxError kAxErrorAttributeUnsupported = -25205;
// The element answered, and the attribute has no value (now).
inline constexpr AxError kAxErrorNoValue = -25212;

// A range of UTF-16 code units, the platform's CFRange. A caret is a range of length 0.
struct Range {
  std::int64_t location = 0;
  std::int64_t length = 0;
  friend bool operator==(const Range&, const Range&) = default;
};

// The kind an accessibility value reports for a range (kAXValueTypeCFRange).
inline constexpr std::int32_t kAxValueKindRange = 4;

// A handle on one accessibility element. Copying retains the platform reference, dropping
// releases it, moving hands it over. A handle is empty and names nothing, or it holds a
// reference that is not null; the platform never sees an empty handle retained or released.
// Whether two handles name the same element is the platform's question
// (`Platform::elementsEqual`).
class Element {
 public:
  Element() noexcept = default;
  // Takes over one platform reference (the result of a create or copy call); a null reference
  // (0), a call that made nothing, gives an empty handle.
  static Element adopt(Platform& platform, std::uintptr_t ref) noexcept {
    return ref == 0 ? Element() : Element(&platform, ref);
  }
  Element(const Element& other) noexcept;
  Element(Element&& other) noexcept
      : platform_(std::exchange(other.platform_, nullptr)), ref_(std::exchange(other.ref_, 0)) {}
  Element& operator=(Element other) noexcept {
    std::swap(platform_, other.platform_);
    std::swap(ref_, other.ref_);
    return *this;
  }
  ~Element();

  explicit operator bool() const noexcept { return platform_ != nullptr; }
  // The adapter's own reference, never 0 unless the handle is empty; meaningful only to the
  // platform that made it.
  std::uintptr_t ref() const noexcept { return ref_; }

 private:
  Element(Platform* platform, std::uintptr_t ref) noexcept : platform_(platform), ref_(ref) {}
  Platform* platform_ = nullptr;
  std::uintptr_t ref_ = 0;
};

// A keyboard event made by `Platform::createKeyboardEvent`: owned by whoever holds it,
// released when dropped. Move-only. Empty, or holding a reference that is not null, as
// `Element`.
class KeyEvent {
 public:
  KeyEvent() noexcept = default;
  // Takes over one platform reference; a null reference (0) gives an empty event.
  static KeyEvent adopt(Platform& platform, std::uintptr_t ref) noexcept {
    return ref == 0 ? KeyEvent() : KeyEvent(&platform, ref);
  }
  KeyEvent(const KeyEvent&) = delete;
  KeyEvent& operator=(const KeyEvent&) = delete;
  KeyEvent(KeyEvent&& other) noexcept
      : platform_(std::exchange(other.platform_, nullptr)), ref_(std::exchange(other.ref_, 0)) {}
  KeyEvent& operator=(KeyEvent&& other) noexcept {
    if (this == &other) return *this;
    KeyEvent old(std::move(*this));
    platform_ = std::exchange(other.platform_, nullptr);
    ref_ = std::exchange(other.ref_, 0);
    return *this;
  }
  ~KeyEvent();

  explicit operator bool() const noexcept { return platform_ != nullptr; }
  std::uintptr_t ref() const noexcept { return ref_; }

 private:
  KeyEvent(Platform* platform, std::uintptr_t ref) noexcept : platform_(platform), ref_(ref) {}
  Platform* platform_ = nullptr;
  std::uintptr_t ref_ = 0;
};

// The forms an attribute value can take, as far as caretsafe cares.
struct NoValue {};  // the read succeeded and gave nothing
struct NumberValue {
  double value = 0;
};
// An accessibility value (AXValueRef): its kind, and for a range the range itself when it
// could be read out (empty when the platform refused to hand it over).
struct AxValue {
  std::int32_t kind = 0;
  std::optional<Range> range;
};
struct OtherValue {};  // any other platform object
using AttributeValue =
    std::variant<NoValue, std::u16string, bool, NumberValue, AxValue, Element, OtherValue>;

// The outcome of an attribute read. On failure `value` is NoValue: whatever the platform
// handed back with a failure code has already been released by the adapter.
struct AttributeRead {
  AxError error = kAxSuccess;
  AttributeValue value;
};

// What an application builds its web content with, as its bundle shows it.
enum class WebEngine {
  kNone,      // none of these, or not known
  kChromium,  // a framework holding Chromium's resources (a Chromium-based browser, an app
              // embedding Chromium; an Electron application too)
  kGecko,     // Gecko's library (Firefox and its kin)
};

// The outcome of the settable test.
struct SettableAnswer {
  AxError error = kAxSuccess;
  bool settable = false;
};

// A running application as the workspace reports it.
struct RunningApp {
  Pid pid = 0;
  std::optional<std::string> bundleId;  // UTF-8; empty optional: the app has none
};

// Every primitive that takes a handle answers an empty one with a failure code (or does
// nothing) without asking the system.
class Platform {
 public:
  virtual ~Platform() = default;

  // --- permission ---
  // Whether this process is a trusted accessibility client. Never prompts the user.
  virtual bool isProcessTrusted() = 0;

  // --- applications ---
  // The application that is frontmost now, or none.
  virtual std::optional<RunningApp> frontmostApplication() = 0;
  // The running application with this pid, or none.
  virtual std::optional<RunningApp> runningApplication(Pid pid) = 0;
  // This process's own pid.
  virtual Pid ownPid() = 0;
  // The pid of the process that started this one (the host, whatever it is called), or none
  // when it is not known.
  virtual std::optional<Pid> parentPid() = 0;

  // --- accessibility ---
  // The element that stands for the whole application with this pid; empty only when the
  // platform has none to give.
  virtual Element createApplication(Pid pid) = 0;
  // Bounds later requests made through this handle; the result code is of no use to callers.
  virtual void setMessagingTimeout(const Element& element, float seconds) = 0;
  virtual AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) = 0;
  virtual SettableAnswer isAttributeSettable(const Element& element,
                                             std::string_view attribute) = 0;
  // Sets a text attribute to the given UTF-16 text; returns the result code.
  virtual AxError setAttributeValue(const Element& element, std::string_view attribute,
                                    std::u16string_view text) = 0;
  // Whether two handles name the same element (CFEqual). An empty handle equals nothing.
  virtual bool elementsEqual(const Element& a, const Element& b) = 0;
  // Whether the platform knows that text reaches this element only as typed keys: an editable
  // text field whose accessibility write is missing, or is known to answer success and change
  // nothing (a browser's or an Electron application's web field). Never reads the field's text.
  // Asked only for a capture that allows typing; false whenever the platform cannot tell.
  virtual bool typedOnly(const Element& element) = 0;
  // Whether a key typed into this field carries a character above U+FFFF whole. False where an
  // application is known to turn such a key into another character (Chromium on Wayland keeps
  // only its low 16 bits: U+1F600 arrives as U+F600). Asked only for a text that holds one.
  virtual bool typesAstral(const Element& field) = 0;
  // Sets a boolean attribute (an application's switch for its accessibility tree); returns the
  // result code, which some applications get wrong: judge by the effect.
  virtual AxError setFlagAttribute(const Element& element, std::string_view attribute,
                                   bool value) = 0;
  // Whether the running application with this pid is built on Electron (its bundle holds the
  // Electron framework); false when it is not known.
  virtual bool builtOnElectron(Pid pid) = 0;
  // What the running application with this pid builds web content with, as its bundle's
  // contents show; `WebEngine::kNone` when it is none of them or it is not known.
  virtual WebEngine webEngine(Pid pid) = 0;

  // --- keyboard events ---
  // Whether secure event input is on (a password prompt, or a terminal's secure keyboard
  // entry): the system then withholds synthetic key events from the application, so a key
  // posted would never arrive. False where the platform has no such state.
  virtual bool secureEventInput() = 0;
  // The modifier flag word of the combined session state.
  virtual std::uint64_t modifierFlags() = 0;
  // A new keyboard event with no event source; empty when none could be created.
  virtual KeyEvent createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) = 0;
  // Gives the event exactly these characters (one or two UTF-16 code units).
  virtual void setUnicodeString(KeyEvent& event, std::u16string_view units) = 0;
  virtual void setFlags(KeyEvent& event, std::uint64_t flags) = 0;
  // Queues the event for that process. False when the platform knows that the event was not
  // delivered (nothing of it then reached the process); a platform that cannot tell, as a
  // queue that reports no result cannot, answers true.
  virtual bool postToPid(Pid pid, const KeyEvent& event) = 0;

  // --- misc ---
  // The canonical upper-case string of a fresh random UUID (36 characters).
  virtual std::string newUuid() = 0;
  // The wall clock: seconds from the platform's reference date (2001-01-01 00:00:00 UTC).
  virtual double now() = 0;
  // Waits about this long, doing nothing: gives another application time to apply keys typed
  // into it before they are read back.
  virtual void pause(double seconds) = 0;
  // A scope in which temporary platform objects are collected (the autorelease pool);
  // `closeReleasePool` releases them. A platform without one keeps the defaults.
  virtual std::uintptr_t openReleasePool() { return 0; }
  virtual void closeReleasePool(std::uintptr_t /*pool*/) {}

 protected:
  friend class Element;
  friend class KeyEvent;
  // Handle bookkeeping, called only by Element and KeyEvent.
  virtual void retainElement(std::uintptr_t ref) noexcept = 0;
  virtual void releaseElement(std::uintptr_t ref) noexcept = 0;
  virtual void releaseKeyEvent(std::uintptr_t ref) noexcept = 0;
};

inline Element::Element(const Element& other) noexcept
    : platform_(other.platform_), ref_(other.ref_) {
  if (platform_ != nullptr) platform_->retainElement(ref_);
}

inline Element::~Element() {
  if (platform_ != nullptr) platform_->releaseElement(ref_);
}

inline KeyEvent::~KeyEvent() {
  if (platform_ != nullptr) platform_->releaseKeyEvent(ref_);
}

// Opens the platform's release pool for one scope and closes it at the end.
class ReleasePoolScope {
 public:
  explicit ReleasePoolScope(Platform& platform)
      : platform_(platform), pool_(platform.openReleasePool()) {}
  ReleasePoolScope(const ReleasePoolScope&) = delete;
  ReleasePoolScope& operator=(const ReleasePoolScope&) = delete;
  ~ReleasePoolScope() { platform_.closeReleasePool(pool_); }

 private:
  Platform& platform_;
  std::uintptr_t pool_;
};

}  // namespace caretsafe
