#include "platform/linux/display/x11/x11_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace caretsafe::x11 {
namespace {

constexpr int kFirstUsableKeycode = 9;  // keycode 8 is reserved on common servers

// Frees what Xlib hands out, on every path.
struct XFreeDeleter {
  void operator()(void* p) const {
    if (p != nullptr) XFree(p);
  }
};

// The real modifiers a virtual modifier of the layout stands for, by name; 0 if the layout
// has no such virtual modifier.
unsigned int realModsOf(Display* display, XkbDescPtr layout, const char* name) {
  const Atom atom = XInternAtom(display, name, True);
  if (atom == 0 || layout->names == nullptr || layout->server == nullptr) return 0;
  unsigned int mods = 0;
  for (int i = 0; i < XkbNumVirtualMods; ++i) {
    if (layout->names->vmods[i] == atom) mods |= layout->server->vmods[i];
  }
  return mods;
}

// Whether a key's columns, as the server reports them, give this keysym (NoSymbol: nothing)
// whatever group and level a client picks. The server keeps identical columns as fewer
// groups and levels and reports the rest as NoSymbol; a client wraps such a group onto the
// first one.
bool holdsOnly(const std::vector<unsigned long>& syms, unsigned long sym) {
  return !syms.empty() && syms.front() == sym &&
         std::all_of(syms.begin(), syms.end(),
                     [sym](unsigned long s) { return s == sym || s == NoSymbol; });
}

// What the scheduler reports of a process's main thread: its state letter and how often it
// has been switched out.
struct TaskSample {
  char state = 0;
  unsigned long long switches = 0;
};

std::optional<TaskSample> sampleTask(std::int32_t pid) {
  const std::string id = std::to_string(pid);
  std::ifstream in("/proc/" + id + "/task/" + id + "/status");
  if (!in) return std::nullopt;
  TaskSample sample;
  int fields = 0;
  for (std::string line; std::getline(in, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string_view name(line.data(), colon);
    const std::size_t value = line.find_first_not_of(" \t", colon + 1);
    if (value == std::string::npos) continue;
    if (name == "State") {
      sample.state = line[value];
      ++fields;
    } else if (name == "voluntary_ctxt_switches" || name == "nonvoluntary_ctxt_switches") {
      unsigned long long n = 0;
      std::from_chars(line.data() + value, line.data() + line.size(), n);
      sample.switches += n;
      ++fields;
    }
  }
  if (fields != 3) return std::nullopt;
  return sample;
}

bool asleep(const TaskSample& sample) {
  return sample.state == 'S' || sample.state == 'I';
}

// Waits until the process is seen idle: asleep at both ends of a quiet spell and never
// switched in between, while the X server (`serverPid`, 0 if unknown) was seen asleep at
// some moment of the spell. A client asleep while it waits for a reply (a font being loaded,
// say) is not idle, but then the server has its request to answer and is not asleep; a
// client asleep with the server asleep too has read and handled every event sent to it
// before the spell. Answers the moment from which that holds, or nothing if the deadline
// passed first. A process that is gone (or cannot be watched) has nothing left to translate
// (or nothing to tell): now.
std::optional<std::chrono::steady_clock::time_point> waitForIdle(
    std::int32_t pid, std::int32_t serverPid, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPoll = std::chrono::milliseconds(1);
  while (true) {
    const Clock::time_point from = Clock::now();
    const std::optional<TaskSample> before = sampleTask(pid);
    if (!before || before->state == 'Z' || before->state == 'X') return from;
    if (asleep(*before)) {
      bool serverAsleep = serverPid == 0;
      const Clock::time_point spellEnd = from + kQuietSpell;
      do {
        if (!serverAsleep) {
          const std::optional<TaskSample> server = sampleTask(serverPid);
          serverAsleep = !server || asleep(*server);
        }
        std::this_thread::sleep_for(kPoll);
      } while (Clock::now() < spellEnd);
      const std::optional<TaskSample> after = sampleTask(pid);
      if (!after) return from;
      if (serverAsleep && asleep(*after) && after->switches == before->switches) return from;
    } else {
      std::this_thread::sleep_for(kPoll);
    }
    if (Clock::now() >= deadline) return std::nullopt;
  }
}

}  // namespace

void X11Keyboard::XkbDescDeleter::operator()(XkbDescPtr desc) const {
  if (desc != nullptr) XkbFreeKeyboard(desc, XkbAllComponentsMask, True);
}

std::unique_ptr<X11Keyboard> X11Keyboard::open(Display* display) {
  if (display == nullptr) return nullptr;
  int opcode = 0;
  int eventBase = 0;
  int errorBase = 0;
  int major = XkbMajorVersion;
  int minor = XkbMinorVersion;
  if (!XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor)) {
    return nullptr;
  }
  const int xkbEventBase = eventBase;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) return nullptr;

  std::unique_ptr<X11Keyboard> keyboard(new X11Keyboard(display));
  // Once XKB is in use, Xlib passes on no notice of a keyboard map change unless its XKB
  // notices are asked for (measured): then each change brings them, whoever made it.
  keyboard->xkbEventBase_ = xkbEventBase;
  XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
  XDisplayKeycodes(display, &keyboard->minKeycode_, &keyboard->maxKeycode_);
  const int count = keyboard->maxKeycode_ - keyboard->minKeycode_ + 1;
  if (count <= 0) return nullptr;
  // The owner window: never mapped, never shown, gone with this connection.
  keyboard->marksAtom_ = XInternAtom(display, "_CARETSAFE_SPARES", False);
  keyboard->ownerAtom_ = XInternAtom(display, "_CARETSAFE_SPARE_OWNER", False);
  XSetWindowAttributes attributes{};
  keyboard->owner_ = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0,
                                   InputOnly, nullptr, 0, &attributes);
  // The server hands a dead client's window ids to the next client at once, so the window id
  // alone does not name an owner: a random stamp on the window, repeated in each mark, does.
  std::uint32_t stamp = 0;
  while (::getrandom(&stamp, sizeof stamp, 0) != static_cast<ssize_t>(sizeof stamp) || stamp == 0) {
  }
  keyboard->stamp_ = stamp;
  const long stampLong = static_cast<long>(stamp);
  XChangeProperty(display, keyboard->owner_, static_cast<Atom>(keyboard->ownerAtom_), XA_CARDINAL,
                  32, PropModeReplace, reinterpret_cast<const unsigned char*>(&stampLong), 1);
  // Before the spares are counted: a keycode an earlier helper left mapped is a spare again.
  keyboard->clearOrphans();
  int perKeycode = 0;
  std::unique_ptr<KeySym, XFreeDeleter> map(XGetKeyboardMapping(
      display, static_cast<KeyCode>(keyboard->minKeycode_), count, &perKeycode));
  if (!map || perKeycode <= 0) return nullptr;
  keyboard->keysymsPerKeycode_ = perKeycode;
  for (int code = std::max(keyboard->minKeycode_, kFirstUsableKeycode);
       code <= keyboard->maxKeycode_; ++code) {
    const KeySym* syms = map.get() + (code - keyboard->minKeycode_) * perKeycode;
    if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) {
      keyboard->spares_.push_back(Spare{static_cast<unsigned char>(code)});
    }
  }
  if (!keyboard->loadLayout()) return nullptr;
  // The server's process, when it runs on this machine: whether it is asleep tells whether a
  // client may be waiting on it.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(ConnectionNumber(display), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
      size == sizeof peer) {
    keyboard->serverPid_ = peer.pid;
  }
  return keyboard;
}

X11Keyboard::~X11Keyboard() {
  if (abandoned_) return;
  restoreSpares();
  XDestroyWindow(display_, owner_);
  XSync(display_, False);
}

std::vector<X11Keyboard::Mark> X11Keyboard::readMarks() {
  // Far more than the spares of any server: 4 longs per spare.
  constexpr long kMaxLongs = 4 * 256;
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const int status =
      XGetWindowProperty(display_, DefaultRootWindow(display_), static_cast<Atom>(marksAtom_), 0,
                         kMaxLongs, False, XA_CARDINAL, &type, &format, &items, &after, &data);
  const std::unique_ptr<unsigned char, XFreeDeleter> held(data);
  std::vector<Mark> marks;
  if (status != Success || type != XA_CARDINAL || format != 32 || data == nullptr) return marks;
  const auto* longs = reinterpret_cast<const unsigned long*>(data);
  for (unsigned long i = 0; i + 3 < items; i += 4) {
    marks.push_back(Mark{longs[i], longs[i + 1], longs[i + 2], longs[i + 3]});
  }
  return marks;
}

void X11Keyboard::writeMarks(const std::vector<Mark>& marks) {
  const Window root = DefaultRootWindow(display_);
  if (marks.empty()) {
    XDeleteProperty(display_, root, static_cast<Atom>(marksAtom_));
    return;
  }
  std::vector<unsigned long> longs;
  for (const Mark& m : marks) longs.insert(longs.end(), {m.owner, m.stamp, m.code, m.sym});
  XChangeProperty(display_, root, static_cast<Atom>(marksAtom_), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(longs.data()),
                  static_cast<int>(longs.size()));
}

void X11Keyboard::mark(unsigned char code, unsigned long sym) {
  std::vector<Mark> marks = readMarks();
  std::erase_if(marks, [&](const Mark& m) { return ours(m) && m.code == code; });
  marks.push_back(Mark{owner_, stamp_, code, sym});
  writeMarks(marks);
}

void X11Keyboard::unmarkEmptied() {
  std::vector<Mark> marks = readMarks();
  const auto emptied = [&](const Mark& m) {
    if (!ours(m)) return false;
    const auto spare = std::find_if(spares_.begin(), spares_.end(),
                                    [&](const Spare& s) { return s.code == m.code; });
    return spare == spares_.end() || spare->sym == NoSymbol;
  };
  if (std::none_of(marks.begin(), marks.end(), emptied)) return;
  std::erase_if(marks, emptied);
  writeMarks(marks);
}

void X11Keyboard::clearOrphans() {
  XGrabServer(display_);
  std::vector<Mark> marks = readMarks();
  if (!marks.empty()) {
    // Owners are children of the root window carrying the stamp their marks repeat; under the
    // grab none can come or go.
    std::unordered_map<unsigned long, unsigned long> owners;  // window → its stamp
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) != 0) {
      const std::unique_ptr<Window, XFreeDeleter> held(children);
      std::unordered_set<unsigned long> marked;
      for (const Mark& m : marks) marked.insert(m.owner);
      for (unsigned int i = 0; i < count; ++i) {
        if (marked.count(children[i]) == 0) continue;
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(display_, children[i], static_cast<Atom>(ownerAtom_), 0, 1, False,
                           XA_CARDINAL, &type, &format, &items, &after, &data);
        const std::unique_ptr<unsigned char, XFreeDeleter> stamp(data);
        if (type == XA_CARDINAL && format == 32 && items == 1 && data != nullptr) {
          owners.emplace(children[i], *reinterpret_cast<const unsigned long*>(data));
        }
      }
      const std::size_t before = marks.size();
      std::erase_if(marks, [&](const Mark& m) {
        const auto owner = owners.find(m.owner);
        if (owner != owners.end() && owner->second == m.stamp) return false;
        const bool valid =
            m.code >= static_cast<unsigned long>(std::max(minKeycode_, kFirstUsableKeycode)) &&
            m.code <= static_cast<unsigned long>(maxKeycode_) && m.sym != NoSymbol;
        if (valid) {
          const auto code = static_cast<unsigned char>(m.code);
          const std::optional<std::vector<unsigned long>> now = readKeysyms(code);
          // Remapped since by someone else: theirs now, left alone.
          if (now && holdsOnly(*now, m.sym)) writeKeysym(code, NoSymbol);
        }
        return true;
      });
      if (marks.size() != before) writeMarks(marks);
    }
  }
  XUngrabServer(display_);
  XSync(display_, False);
  drainMappingEvents();
}

bool X11Keyboard::loadLayout() {
  layout_.reset(
      XkbGetMap(display_, XkbKeyTypesMask | XkbKeySymsMask | XkbVirtualModsMask, XkbUseCoreKbd));
  if (!layout_) return false;
  if (XkbGetNames(display_, XkbVirtualModNamesMask, layout_.get()) != Success) return false;
  altMods_ = Mod1Mask | realModsOf(display_, layout_.get(), "Alt") |
             realModsOf(display_, layout_.get(), "Meta");
  superMods_ = Mod4Mask | realModsOf(display_, layout_.get(), "Super") |
               realModsOf(display_, layout_.get(), "Hyper");

  // The first-level keysym of the first group of every key but the spares; the lowest
  // keycode wins, as in the layout's own reverse lookup.
  levelOne_.clear();
  XkbDescPtr layout = layout_.get();
  for (int code = layout->max_key_code; code >= layout->min_key_code; --code) {
    const auto key = static_cast<KeyCode>(code);
    if (XkbKeyNumGroups(layout, key) < 1 || XkbKeyGroupWidth(layout, key, 0) < 1) continue;
    const bool spare = std::any_of(spares_.begin(), spares_.end(),
                                   [key](const Spare& s) { return s.code == key; });
    if (spare) continue;
    const KeySym sym = XkbKeySymEntry(layout, key, 0, 0);
    if (sym != NoSymbol) levelOne_[sym] = key;
  }
  layoutStale_ = false;
  return true;
}

std::uint64_t X11Keyboard::flagsOf(unsigned int mods) const {
  std::uint64_t flags = 0;
  if ((mods & ShiftMask) != 0) flags |= kShiftFlag;
  if ((mods & ControlMask) != 0) flags |= kControlFlag;
  if ((mods & altMods_) != 0) flags |= kAltFlag;
  if ((mods & superMods_) != 0) flags |= kSuperFlag;
  return flags;
}

std::optional<std::uint64_t> X11Keyboard::modifierFlags() {
  XkbStateRec state{};
  if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return std::nullopt;
  return flagsOf(static_cast<unsigned int>(state.base_mods | state.latched_mods));
}

std::optional<std::vector<unsigned long>> X11Keyboard::readKeysyms(unsigned char code) {
  int perKeycode = 0;
  std::unique_ptr<KeySym, XFreeDeleter> syms(XGetKeyboardMapping(display_, code, 1, &perKeycode));
  if (!syms || perKeycode <= 0) return std::nullopt;
  keysymsPerKeycode_ = perKeycode;
  return std::vector<unsigned long>(syms.get(), syms.get() + perKeycode);
}

bool X11Keyboard::writeKeysym(unsigned char code, unsigned long sym) {
  std::vector<KeySym> column(static_cast<std::size_t>(keysymsPerKeycode_), sym);
  XChangeKeyboardMapping(display_, code, keysymsPerKeycode_, column.data(), 1);
  // A request that failed would only show in the error handler; reading the key back makes
  // the outcome a value.
  const std::optional<std::vector<unsigned long>> now = readKeysyms(code);
  return now && holdsOnly(*now, sym);
}

bool X11Keyboard::modifierFreeIn(const XkbStateRec& state) const {
  const auto held = static_cast<unsigned int>(state.base_mods | state.latched_mods);
  const auto locked = static_cast<unsigned int>(state.locked_mods);
  return flagsOf(held) == 0 && (flagsOf(locked) & ~kShiftFlag) == 0 && (held & LockMask) == 0;
}

bool X11Keyboard::resyncMapping() {
  mappingUnknown_ = true;
  if (!loadLayout()) return false;
  const int count = maxKeycode_ - minKeycode_ + 1;
  int perKeycode = 0;
  std::unique_ptr<KeySym, XFreeDeleter> map(
      XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode_), count, &perKeycode));
  if (!map || perKeycode <= 0) return false;
  keysymsPerKeycode_ = perKeycode;
  for (Spare& spare : spares_) {
    const KeySym* first = map.get() + (spare.code - minKeycode_) * perKeycode;
    const std::vector<unsigned long> syms(first, first + perKeycode);
    if (!spare.foreign && holdsOnly(syms, spare.sym)) continue;
    if (holdsOnly(syms, NoSymbol)) {
      if (spare.foreign) spare.lastKey = Clock::now();  // its last key may still be unread
      spare.foreign = false;
      spare.sym = NoSymbol;
    } else {
      spare.foreign = true;
      spare.sym = NoSymbol;
    }
  }
  mappingUnknown_ = false;
  return true;
}

bool X11Keyboard::drainMappingEvents() {
  // Every client is told of every mapping change; the ones this object causes would
  // otherwise pile up in the connection's queue.
  bool any = false;
  XEvent event;
  while (XCheckTypedEvent(display_, MappingNotify, &event)) {
    XRefreshKeyboardMapping(&event.xmapping);
    any = true;
  }
  while (XCheckTypedEvent(display_, xkbEventBase_, &event)) any = true;
  return any;
}

void X11Keyboard::reclaimForeignSpares() {
  for (Spare& spare : spares_) {
    if (!spare.foreign) continue;
    const std::optional<std::vector<unsigned long>> syms = readKeysyms(spare.code);
    if (syms && holdsOnly(*syms, NoSymbol)) {
      // Emptied again, but the other client's last key may still be unread.
      spare.foreign = false;
      spare.sym = NoSymbol;
      spare.lastKey = Clock::now();
    }
  }
}

bool X11Keyboard::lastKeyHandled(const Spare& spare, Clock::time_point deadline) {
  if (spare.sym == NoSymbol || spare.lastPid == 0) return true;
  const auto seen = idleSince_.find(spare.lastPid);
  if (seen != idleSince_.end() && seen->second > spare.lastKey) return true;
  ++stats_.idleChecks;
  const std::optional<Clock::time_point> idle = waitForIdle(spare.lastPid, serverPid_, deadline);
  if (!idle) return false;
  idleSince_[spare.lastPid] = *idle;
  return true;
}

std::optional<std::size_t> X11Keyboard::pickSpare(unsigned long sym, KeyOutcome& refusal) {
  for (std::size_t i = 0; i < spares_.size(); ++i) {
    if (!spares_[i].foreign && spares_[i].sym == sym) return i;
  }
  for (int round = 0; round < 2; ++round) {
    std::optional<std::size_t> oldest;
    for (std::size_t i = 0; i < spares_.size(); ++i) {
      if (spares_[i].foreign) continue;
      if (!oldest || spares_[i].lastKey < spares_[*oldest].lastKey) oldest = i;
    }
    if (oldest) {
      const Clock::time_point idleFrom = spares_[*oldest].lastKey + kRemapIdle;
      if (Clock::now() < idleFrom) {
        ++stats_.waits;
        std::this_thread::sleep_until(idleFrom);
      }
      if (!lastKeyHandled(spares_[*oldest], Clock::now() + kIdleLimit)) {
        refusal = KeyOutcome::kTargetBusy;
        return std::nullopt;
      }
      return oldest;
    }
    reclaimForeignSpares();
  }
  refusal = KeyOutcome::kNoKeycode;
  return std::nullopt;
}

KeyOutcome X11Keyboard::typeScalar(char32_t scalar, const FocusCheck& focusIsTarget,
                                   std::int32_t targetPid, bool settleRemaps) {
  const std::optional<unsigned long> sym = keysymForScalar(scalar);
  if (!sym) return KeyOutcome::kUntypeable;
  if (!focusIsTarget) return KeyOutcome::kFocusLost;
  if (layoutStale_ && !loadLayout()) return KeyOutcome::kXFailure;

  std::optional<unsigned char> levelOneCode;
  if (const auto found = levelOne_.find(*sym); found != levelOne_.end()) {
    levelOneCode = found->second;
  }
  std::optional<std::size_t> spare;
  // Each pass either types, refuses, or rules one way out; a spare taken by another client
  // is dropped, so the passes are bounded by the pool.
  for (std::size_t pass = 0; pass < spares_.size() + 2; ++pass) {
    if (!levelOneCode && !spare) {
      KeyOutcome refusal = KeyOutcome::kNoKeycode;
      spare = pickSpare(*sym, refusal);
      if (!spare) return refusal;
    }
    KeyOutcome outcome = KeyOutcome::kXFailure;
    switch (attempt(*sym, levelOneCode, spare, focusIsTarget, targetPid, settleRemaps, outcome)) {
      case Attempt::kDone:
        return outcome;
      case Attempt::kLevelOneUnusable:
        levelOneCode.reset();
        break;
      case Attempt::kSpareTaken:
        spares_[*spare].foreign = true;
        spares_[*spare].sym = NoSymbol;
        spare.reset();
        break;
      case Attempt::kRemapped:
        // A client reads the new mapping when it handles the notice the server sent it, and
        // some do that in their own time: Chromium typed nothing for a key sent right behind a
        // remap (2 texts of 3 with many distinct characters lost one there; xterm reads it in
        // order and never did). The key waits until the target has been seen idle, which it
        // is only once it has handled every event sent before, or kRemapSettle at most: a
        // browser whose timers wake it every frame was never seen idle on a loaded machine
        // (Firefox, 1 insert of 6 refused after 3 s), while one key took at most 120 ms to show.
        // A key that still arrives under the old mapping is caught by the field's caret and
        // read-back; the next pass finds the spare already holding the keysym.
        ++stats_.idleChecks;
        waitForIdle(targetPid, serverPid_, Clock::now() + kRemapSettle);
        break;
    }
  }
  return KeyOutcome::kNoKeycode;
}

X11Keyboard::Attempt X11Keyboard::attempt(unsigned long sym,
                                          std::optional<unsigned char> levelOneCode,
                                          std::optional<std::size_t> spare,
                                          const FocusCheck& focusIsTarget, std::int32_t targetPid,
                                          bool settleRemaps, KeyOutcome& outcome) {
  // The grab is released, and the queue drained, on every way out of this function.
  struct Grab {
    X11Keyboard* keyboard;
    bool held = true;
    explicit Grab(X11Keyboard* k) : keyboard(k) { XGrabServer(keyboard->display_); }
    Grab(const Grab&) = delete;
    Grab& operator=(const Grab&) = delete;
    ~Grab() { release(); }
    // Returns once the server has handled everything sent under the grab.
    void release() {
      if (!held) return;
      held = false;
      XUngrabServer(keyboard->display_);
      XSync(keyboard->display_, False);
      keyboard->drainMappingEvents();
    }
    // The same, with the keyboard's state read after the ungrab: its reply comes once the
    // server has handled everything before it, so it is the sync. False when it was not read.
    bool releaseReading(XkbStateRec& state) {
      held = false;
      XUngrabServer(keyboard->display_);
      const bool read = XkbGetState(keyboard->display_, XkbUseCoreKbd, &state) == Success;
      if (!read) XSync(keyboard->display_, False);
      keyboard->drainMappingEvents();
      return read;
    }
  } grab(this);

  if (!focusIsTarget(display_)) {
    outcome = KeyOutcome::kFocusLost;
    return Attempt::kDone;
  }
  // The focus check's replies came after every event the server sent before the grab: a
  // mapping notice among them means another client changed the keyboard map since this
  // object last looked (its own changes' notices are taken at each release). Only then are
  // the keys read back before use.
  if (drainMappingEvents() || mappingUnknown_) {
    if (!resyncMapping()) {
      outcome = KeyOutcome::kXFailure;
      return Attempt::kDone;
    }
    if (levelOneCode) {
      const auto found = levelOne_.find(sym);
      if (found == levelOne_.end() || found->second != *levelOneCode) {
        return Attempt::kLevelOneUnusable;
      }
    }
    if (spare && spares_[*spare].foreign) return Attempt::kSpareTaken;
  }
  // A modifier pressed since the caller's own check would turn the key into a command (a
  // Control-M is a carriage return); a locked Control, Alt or Super would too. A Caps Lock
  // that is held, not locked, cannot be lifted for one key. The server grab holds back other
  // clients, not the user's own keys, so the state is read again just before the key and
  // once more after it.
  const auto modifierFree = [this](XkbStateRec& state) -> std::optional<bool> {
    if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return std::nullopt;
    return modifierFreeIn(state);
  };
  const auto refuseUnlessModifierFree = [&](XkbStateRec& state) {
    const std::optional<bool> free = modifierFree(state);
    if (!free) outcome = KeyOutcome::kXFailure;
    if (free && !*free) outcome = KeyOutcome::kModifierHeld;
    return free && *free;
  };
  XkbStateRec state{};
  if (!refuseUnlessModifierFree(state)) return Attempt::kDone;

  unsigned char code = 0;
  bool remapped = false;
  if (levelOneCode) {
    // Exact only when the key, as the server maps it now and as clients will translate it
    // with these modifiers minus Lock, gives the keysym.
    if (state.group != 0) return Attempt::kLevelOneUnusable;
    unsigned int consumed = 0;
    KeySym translated = NoSymbol;
    const auto mods =
        static_cast<unsigned int>(state.lookup_mods) & ~static_cast<unsigned int>(LockMask);
    if (!XkbTranslateKeyCode(layout_.get(), *levelOneCode, mods, &consumed, &translated) ||
        translated != sym) {
      return Attempt::kLevelOneUnusable;
    }
    code = *levelOneCode;
  } else {
    Spare& key = spares_[*spare];
    // Write only a keycode that holds nothing or what this object put there: anything else
    // belongs to another client now.
    // The key holds what this object wrote or found there (nothing): no notice of another
    // client's change came, or the map was read afresh above.
    if (key.sym != sym) {
      remapped = true;
      ++stats_.remaps;
      key.sym = NoSymbol;
      // Marked before it is mapped: whatever ends this process, the mapping can be found.
      mark(key.code, sym);
      if (!writeKeysym(key.code, sym)) {
        outcome = KeyOutcome::kXFailure;
        return Attempt::kDone;
      }
      key.sym = sym;
      if (settleRemaps) return Attempt::kRemapped;
    }
    code = key.code;
  }

  // A remap took requests of its own: the state is read again just before the key.
  if (remapped && !refuseUnlessModifierFree(state)) return Attempt::kDone;
  // With Lock in the state a client upper-cases a Latin-1 letter; take it off for this key
  // only.
  const bool unlock = (static_cast<unsigned int>(state.locked_mods) & LockMask) != 0;
  if (unlock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
  const bool pressed = XTestFakeKeyEvent(display_, code, True, CurrentTime) != 0;
  bool released = pressed && XTestFakeKeyEvent(display_, code, False, CurrentTime) != 0;
  if (pressed && !released) released = XTestFakeKeyEvent(display_, code, False, CurrentTime) != 0;
  if (unlock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
  XkbStateRec after{};
  const bool afterRead = grab.releaseReading(after);

  // Idle time counts from when the server has sent the key on.
  const Clock::time_point sent = Clock::now();
  lastKey_ = sent;
  if (spare) {
    spares_[*spare].lastKey = sent;
    spares_[*spare].lastPid = targetPid;
    ++stats_.spareKeys;
  } else {
    ++stats_.levelOneKeys;
  }
  outcome = pressed && released ? KeyOutcome::kTyped : KeyOutcome::kXFailure;
  if (outcome == KeyOutcome::kTyped) {
    // A modifier the user pressed while the key was on its way may have changed what it
    // means: the key is not vouched for then, and nothing more is typed after it.
    if (!afterRead) {
      outcome = KeyOutcome::kXFailure;
    } else if (!modifierFreeIn(after)) {
      outcome = KeyOutcome::kModifierHeld;
    }
  }
  return Attempt::kDone;
}

bool X11Keyboard::restoreSpares(std::chrono::milliseconds idleLimit, bool evenIfBusy) {
  if (abandoned_) return false;
  const bool anyMapped =
      std::any_of(spares_.begin(), spares_.end(), [](const Spare& s) { return s.sym != 0; });
  if (!anyMapped) return true;
  if (lastKey_) std::this_thread::sleep_until(*lastKey_ + kRemapIdle);
  const Clock::time_point deadline = Clock::now() + idleLimit;
  bool ok = true;
  for (Spare& spare : spares_) {
    if (spare.sym == NoSymbol) continue;
    // Emptied under a key its target has not read yet, the key would arrive as nothing; a
    // keysym left behind is the lesser harm, unless the process is ending.
    if (!lastKeyHandled(spare, deadline) && !evenIfBusy) {
      ok = false;
      continue;
    }
    const std::optional<std::vector<unsigned long>> now = readKeysyms(spare.code);
    if (!now) {
      ok = false;
      continue;
    }
    const unsigned long ours = spare.sym;
    spare.sym = NoSymbol;
    if (holdsOnly(*now, ours)) {
      ok = writeKeysym(spare.code, NoSymbol) && ok;
    }
  }
  XGrabServer(display_);
  unmarkEmptied();
  XUngrabServer(display_);
  XSync(display_, False);
  drainMappingEvents();
  return ok;
}

}  // namespace caretsafe::x11
