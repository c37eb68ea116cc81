// Typing Unicode text on a Wayland compositor that offers virtual keyboards to its clients
// (zwp_virtual_keyboard_manager_v1: the wlroots compositors do; GNOME's and KDE's do not).
//
// Each scalar travels as one key press and release on a keyboard of our own, whose keymap we
// write: every key we use carries exactly one keysym, the scalar's, on its only level, so no
// layout, group or modifier on the user's side can change what arrives. The keymap uses only
// the keycodes of plain letter and digit keys. A client that looks at keycodes as well as
// keysyms (Chromium reads the physical key of an event) must never see an editing key such as
// Backspace, Delete, Return or an arrow: a keymap numbered from keycode 1 up puts a text's
// 14th distinct character on Backspace, and the client deletes where it should have typed.
// The letter and digit codes are all below 256, so XWayland clients can receive them too.
//
// The keymap holds a few dozen keys (`kSlotKeys`). When a text needs more distinct scalars than
// that, the key used least recently is given the new scalar and the keymap is uploaded again.
// The compositor forwards the keymap to the focused client ahead of the following key, on the
// same ordered connection, so a Wayland client reads every key with the keymap it was sent
// under. Every upload is followed by a round trip (the compositor has it before any key that
// relies on it) and by a modifier state of nothing pressed, latched or locked: we never press
// a modifier ourselves.
//
// Wayland has no server grab: the focus check and the key cannot be made one step. The caller's
// check runs right before the key's two events are written and flushed, and the time between
// the two is kept in the stats so that it can be measured.
//
// Every wait on the compositor is bounded (`kAnswerTimeout`). A compositor that does not answer
// in time, or a connection that fails, makes the keyboard broken: it types nothing more, and
// the caller opens a new one. Nothing is ever printed: libwayland's own messages are silenced.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace caretsafe::wayland {

// How long one answer from the compositor may take before the connection counts as broken.
inline constexpr std::chrono::milliseconds kAnswerTimeout{2000};

// The keys our keymap may use, by their evdev codes (the keymap's keycodes are these + 8): the
// letter keys row by row, then the digit keys. Clients read these as text keys whatever their
// keysym; no editing, navigation, function or modifier key is among them.
inline constexpr std::array<std::uint32_t, 36> kSlotKeys = {
    16, 17, 18, 19, 20, 21, 22, 23, 24, 25,  // Q W E R T Y U I O P
    30, 31, 32, 33, 34, 35, 36, 37, 38,      // A S D F G H J K L
    44, 45, 46, 47, 48, 49, 50,              // Z X C V B N M
    2,  3,  4,  5,  6,  7,  8,  9,  10, 11,  // 1 … 9 0
};

// The difference between an evdev code and its keycode in an xkb keymap.
inline constexpr std::uint32_t kXkbKeycodeOffset = 8;

// Which key carries which scalar, and the keymap text that says so. Pure: no connection.
class KeySlots {
 public:
  struct Slot {
    std::uint32_t evdev = 0;
    char32_t scalar = 0;        // meaningful only when `keysym` is non-zero
    unsigned long keysym = 0;   // 0: the key carries nothing yet
    std::uint64_t lastUse = 0;  // order of use; 0 never used
  };

  struct Placement {
    std::uint32_t evdev = 0;
    bool keymapChanged = false;  // the keymap must be uploaded again before this key
  };

  // Uses the first `count` keys of kSlotKeys (at least 1, at most all of them).
  explicit KeySlots(std::size_t count = kSlotKeys.size());

  // The key that carries `scalar`: the one that already does, else a key that carries nothing,
  // else the key used least recently, given this scalar. Empty for a scalar that is never typed
  // (no keysym stands for it); nothing changes then.
  std::optional<Placement> place(char32_t scalar);

  // The keymap in xkb's text format: every key that carries a scalar, one level, one group,
  // its keysym written as a number. Self-contained (no includes), so any client can compile it.
  std::string keymap() const;

  const std::vector<Slot>& slots() const { return slots_; }

 private:
  std::vector<Slot> slots_;
  std::uint64_t clock_ = 0;
};

enum class KeyOutcome {
  kTyped,       // press and release were flushed to the compositor, right after the check
                // (`settle` confirms that the compositor has handled them)
  kFocusLost,   // the focus check said no: nothing sent
  kUntypeable,  // not a printable scalar (control character, line or paragraph separator,
                // surrogate, beyond U+10FFFF): nothing sent
  kFailure,     // the compositor did not answer in time, or the connection failed: nothing
                // about this key is vouched for, and the keyboard is broken from now on
};

// Counters for benchmarks and tests.
struct KeyboardStats {
  std::size_t keys = 0;     // key press and release pairs flushed
  std::size_t uploads = 0;  // keymaps uploaded (the first one included)
  // For the latest typed key: from the focus check's return to the end of the key's flush.
  std::chrono::nanoseconds lastCheckToFlush{0};
};

class VirtualKeyboard {
 public:
  // Whether the compositor named by WAYLAND_DISPLAY offers virtual keyboards (and a seat to
  // put one on). One connection and one round trip, bounded by `timeout`; false when there is
  // no compositor or it does not answer.
  static bool offered(std::chrono::milliseconds timeout = kAnswerTimeout);

  // A virtual keyboard on the first seat of the compositor named by WAYLAND_DISPLAY, with its
  // first (empty) keymap uploaded and acknowledged. Empty when WAYLAND_DISPLAY is unset or
  // names no compositor, when the compositor offers no virtual keyboards or refuses this
  // client one, or when it does not answer within `timeout`.
  static std::unique_ptr<VirtualKeyboard> open(std::chrono::milliseconds timeout = kAnswerTimeout);

  VirtualKeyboard(const VirtualKeyboard&) = delete;
  VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;
  // Settles (below, unless broken), then destroys the keyboard and closes the connection. No
  // key is ever down by then: each key's press and release leave in one flush.
  ~VirtualKeyboard();

  // Types one scalar as one key press and release. When its key must first carry it, the
  // keymap is uploaded and acknowledged before anything else. Then `focusIsTarget` is called,
  // and if it says yes the press and release are written and flushed at once.
  KeyOutcome typeScalar(char32_t scalar, const std::function<bool()>& focusIsTarget);

  // Waits until the compositor has handled every key sent so far (one round trip, bounded by
  // kAnswerTimeout). A compositor drops the requests still unread on a connection that closes,
  // so a key flushed right before the end would never arrive without this. False (and the
  // keyboard broken) when it does not answer.
  bool settle();

  // Whether the connection failed or the compositor stopped answering: nothing more is sent.
  bool broken() const { return broken_; }

  const KeyboardStats& stats() const { return stats_; }
  const KeySlots& slots() const { return slots_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection;

  explicit VirtualKeyboard(std::unique_ptr<Connection> connection);
  bool upload();

  std::unique_ptr<Connection> connection_;
  KeySlots slots_;
  bool broken_ = false;
  KeyboardStats stats_;
};

}  // namespace caretsafe::wayland
