// Typing Unicode text into X11 windows through XTest: exactly what was asked for, and only
// while the focus still belongs to the target.
//
// Each scalar travels as one key press and release. A scalar already on the keyboard's first
// level may use its own key; every other scalar is carried by a spare keycode (one the layout
// leaves empty) whose every group and level column holds the scalar's keysym, so no layout,
// group or level the user has selected can change what arrives. Clients translate a keycode
// with the mapping they fetch when they get round to the event, so a spare keycode is given
// another keysym only once it has been idle for `kRemapIdle` and the process that received its
// last key has been seen idle since (its main thread asleep, not woken for a while): a client
// that stalls, on a font load under a busy machine for example, can be seconds behind. Keysyms
// already on a spare are reused, mappings are kept from one text to the next, and the spares
// are emptied again when the keyboard object goes away, after a last settle.
//
// The focus check and the key events form one step under a server grab: no other client can
// move the focus between them.
//
// A spare left mapped would type its keysym for the rest of the X session whenever a physical
// key on that keycode is pressed. So every spare this object maps is first marked on the root
// window (`_CARETSAFE_SPARES`: owner window, its stamp, keycode, keysym), the owner being a small
// window of this object's connection, which the server destroys when the connection ends, and
// the stamp a random number it carries (window ids are reused at once). A keyboard
// that opens clears the spares whose owner is gone (a helper that was killed, or lost its
// display), if they still hold what was marked; another client's mapping is never touched.
//
// Plain Xlib, XTest and XKB; no exceptions, nothing printed. The connection and its error
// handlers belong to the caller: the module sends no request that fails for valid input, and
// reports every X call that does not answer as a result value. It asks for the keyboard map's
// change notices (XKB's map notices, and with them the core MappingNotify), and takes them off
// the connection's event queue: a notice that arrived before its server grab tells it that
// another client changed the map, which it then reads afresh; otherwise the keys hold what it
// knows, and they are not read back before each key.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/linux/display/keysym.h"

typedef struct _XDisplay Display;
typedef struct _XkbDesc* XkbDescPtr;
struct _XkbStateRec;

namespace caretsafe::x11 {

// Modifier flag bits as the portable core tests them.
inline constexpr std::uint64_t kShiftFlag = 0x20000;
inline constexpr std::uint64_t kControlFlag = 0x40000;
inline constexpr std::uint64_t kAltFlag = 0x80000;     // Alt or Meta (Mod1 on common layouts)
inline constexpr std::uint64_t kSuperFlag = 0x100000;  // Super or Hyper (Mod4 on common layouts)

// How long a spare keycode must have carried no key before it may be given another keysym,
// and how long the spares are left alone after the last key before they are emptied.
inline constexpr std::chrono::milliseconds kRemapIdle{200};
// How long a process must stay asleep, not woken once, to count as idle; and how long a remap
// waits for that before the key is refused.
inline constexpr std::chrono::milliseconds kQuietSpell{10};
inline constexpr std::chrono::milliseconds kIdleLimit{3000};
// How long a key for a field waits at most, after its spare was remapped, for the target to be
// seen idle (see `typeScalar`'s settleRemaps).
inline constexpr std::chrono::milliseconds kRemapSettle{500};

// Whether the focus still belongs to the target. Runs while this client holds the server
// grab: it may make X requests on the display it is handed and nothing else (any other
// connection to the server, including an accessibility call into an X client, would wait for
// the grab and deadlock).
using FocusCheck = std::function<bool(Display*)>;

enum class KeyOutcome {
  kTyped,         // press and release reached the server with the focus on the target
  kFocusLost,     // the focus check said no under the grab: nothing typed
  kModifierHeld,  // Shift, Control, Alt, Super or Caps Lock held (or Control, Alt, Super
                  // locked) at the moment of the key: nothing typed
  kUntypeable,    // not a printable scalar (control character, line or paragraph separator,
                  // surrogate, beyond U+10FFFF): nothing typed
  kNoKeycode,     // no key can carry it (the server has no free spare keycode): nothing typed
  kTargetBusy,    // a spare keycode must be remapped, but the process that received its last
                  // key did not go idle within kIdleLimit (stopped, or flooded): nothing typed
  kXFailure,      // an X request gave no answer or the mapping did not take: nothing typed,
                  // unless the press went out and its release did not
};

using linux_desktop::keysymForScalar;  // the keysym that stands for a scalar (kUntypeable: none)

// Counters for benchmarks and tests.
struct KeyboardStats {
  std::size_t levelOneKeys = 0;  // keys typed on the layout's own keycode
  std::size_t spareKeys = 0;     // keys typed on a spare keycode
  std::size_t remaps = 0;        // spare keycodes given another keysym
  std::size_t waits = 0;         // times a remap waited for a spare keycode to go idle
  std::size_t idleChecks = 0;    // times a remap waited for the last target to be seen idle
};

class X11Keyboard {
 public:
  // A keyboard on a display the caller owns and keeps open for the object's lifetime. Empty
  // when the server lacks XTest or XKB, or the keymap cannot be read.
  static std::unique_ptr<X11Keyboard> open(Display* display);

  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;
  // Settles and empties the spare keycodes (`restoreSpares`).
  ~X11Keyboard();

  // The held modifiers (base and latched, never locked: an engaged Caps Lock is not held) as
  // kShiftFlag | kControlFlag | kAltFlag | kSuperFlag. Empty when the state cannot be read.
  std::optional<std::uint64_t> modifierFlags();

  // Types one scalar as one key press and release, if `focusIsTarget` says yes under the
  // server grab and no modifier is held then. `targetPid` is the process that owns the focus
  // window and will translate the key (0 when unknown: a remote client; spares are then
  // recycled on idle time alone). A locked Caps Lock is released for the key and locked again
  // on every path. May sleep (never under the grab) until a spare keycode may be remapped.
  //
  // With `settleRemaps`, a key whose spare had to be remapped is sent only once the target has
  // been seen idle after the remap, or kRemapSettle has passed, in a grab of its own with its
  // own focus check: for a client that reads a new mapping in its own time (Chromium), a key
  // right behind the remap would type nothing. The caller confirms what arrived.
  KeyOutcome typeScalar(char32_t scalar, const FocusCheck& focusIsTarget, std::int32_t targetPid,
                        bool settleRemaps = false);

  // Waits until kRemapIdle has passed since the last key and each target has been seen idle
  // (it may not have read its last keys yet), then gives every spare keycode that still holds
  // this object's keysym no keysym again. A spare whose target does not go idle within
  // `idleLimit` keeps its keysym (and its mark, for a later keyboard to clear), unless
  // `evenIfBusy`: then it is emptied all the same (the process is ending, and a keysym left
  // for the session is the greater harm). False when one was kept or an X request failed.
  // Typing afterwards maps spares afresh.
  bool restoreSpares(std::chrono::milliseconds idleLimit = kIdleLimit, bool evenIfBusy = false);

  // Nothing more is sent from now on, and the destructor restores nothing: for a display that
  // has gone, or a caller that has restored what it could within its own bound and is about
  // to close the connection. What stayed mapped is marked for a later keyboard to clear.
  void abandon() { abandoned_ = true; }

  const KeyboardStats& stats() const { return stats_; }
  // Spare keycodes this object may use (empty keycodes found at open, keycode 8 excluded).
  std::size_t spareCount() const { return spares_.size(); }

 private:
  using Clock = std::chrono::steady_clock;

  struct Spare {
    unsigned char code = 0;
    unsigned long sym = 0;  // the keysym this object wrote last; 0 (NoSymbol): none
    Clock::time_point lastKey{};
    std::int32_t lastPid = 0;  // the process its last key went to; 0: unknown
    bool foreign = false;      // another client has written it; not used until found empty
  };

  // kRemapped: a spare was given the keysym and nothing was typed yet; the key follows once the
  // target has taken the new mapping.
  enum class Attempt { kDone, kLevelOneUnusable, kSpareTaken, kRemapped };

  struct XkbDescDeleter {
    void operator()(XkbDescPtr desc) const;
  };

  explicit X11Keyboard(Display* display) : display_(display) {}
  bool loadLayout();
  std::uint64_t flagsOf(unsigned int mods) const;
  // Whether the process that received the spare's last key has handled it, waiting for that
  // until the deadline.
  bool lastKeyHandled(const Spare& spare, Clock::time_point deadline);
  std::optional<std::size_t> pickSpare(unsigned long sym, KeyOutcome& refusal);
  void reclaimForeignSpares();
  Attempt attempt(unsigned long sym, std::optional<unsigned char> levelOneCode,
                  std::optional<std::size_t> spare, const FocusCheck& focusIsTarget,
                  std::int32_t targetPid, bool settleRemaps, KeyOutcome& outcome);
  std::optional<std::vector<unsigned long>> readKeysyms(unsigned char code);
  bool writeKeysym(unsigned char code, unsigned long sym);
  // Takes the mapping notices off the queue; whether there were any.
  bool drainMappingEvents();
  // Reads the layout and the spares' keysyms afresh, after another client changed the map.
  bool resyncMapping();
  // Whether no modifier is held (nor Control, Alt or Super locked) in the state.
  bool modifierFreeIn(const ::_XkbStateRec& state) const;
  // The marks on the root window (see above); under a server grab.
  struct Mark {
    unsigned long owner = 0;
    unsigned long stamp = 0;
    unsigned long code = 0;
    unsigned long sym = 0;
  };
  std::vector<Mark> readMarks();
  bool ours(const Mark& m) const { return m.owner == owner_ && m.stamp == stamp_; }
  void writeMarks(const std::vector<Mark>& marks);
  // Marks `code` as holding `sym` for this object (replacing its earlier mark of that code).
  void mark(unsigned char code, unsigned long sym);
  // Drops this object's marks of spares that hold nothing now.
  void unmarkEmptied();
  // Clears the spares marked by owners that are gone, when they still hold the marked keysym.
  void clearOrphans();

  Display* display_;
  unsigned long owner_ = 0;  // the window whose life stands for this object's
  unsigned long marksAtom_ = 0;
  unsigned long ownerAtom_ = 0;
  unsigned long stamp_ = 0;
  bool abandoned_ = false;
  int minKeycode_ = 0;
  int maxKeycode_ = 0;
  int keysymsPerKeycode_ = 0;
  std::int32_t serverPid_ = 0;
  std::vector<Spare> spares_;
  std::unique_ptr<struct _XkbDesc, XkbDescDeleter> layout_;
  bool layoutStale_ = false;
  // Whether another client may have changed the keyboard map since it was last read: set by
  // its notices, cleared by `resyncMapping`.
  bool mappingUnknown_ = false;
  int xkbEventBase_ = 0;
  std::unordered_map<unsigned long, unsigned char> levelOne_;  // keysym → its own keycode
  unsigned int altMods_ = 0;
  unsigned int superMods_ = 0;
  std::optional<Clock::time_point> lastKey_;
  // For each process a key went to: a moment by which it had handled every key sent before.
  std::unordered_map<std::int32_t, Clock::time_point> idleSince_;
  KeyboardStats stats_;
};

}  // namespace caretsafe::x11
