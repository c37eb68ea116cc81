// A private X desktop for keyboard tests and benchmarks: an Xvfb server, terminals whose
// program writes what it receives to a file, and the small X chores around them (finding a
// window, giving it the focus, pressing keys the way a user would).
//
// Everything started here is ended by its pid when its handle goes away.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "text/utf.h"

namespace caretsafe::testing::x11 {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// X protocol errors seen on any connection of this process; a test expects none.
inline std::atomic<int> xErrors{0};
inline int countXError(Display*, XErrorEvent*) {
  ++xErrors;
  return 0;
}

// Polls `done` every few milliseconds until it holds or the timeout passes.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// A child process, ended (SIGTERM, then SIGKILL) by its pid when the handle goes away.
class Process {
 public:
  Process() = default;
  // Starts argv[0] from PATH with exactly `env`, its output going to `log`. `keepFd`, if not
  // -1, stays open in the child under the same number.
  static Process spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const fs::path& log, int keepFd = -1) {
    // Everything the child needs is made before the fork: another thread of this process may
    // hold the allocator's lock at that moment.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      // Should this process die without ending it (a test run killed on a timeout), the child
      // goes too. Children are started from the thread that lives as long as the process.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      const int in = ::open("/dev/null", O_RDONLY);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd) close(fd);
      }
      execvpe(args[0], args.data(), envp.data());
      _exit(127);
    }
    Process p;
    p.pid_ = pid;
    return p;
  }
  Process(Process&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Process& operator=(Process&& other) noexcept {
    if (this != &other) {
      stop();
      pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
  }
  ~Process() { stop(); }

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Waits for the process to exit on its own; its exit status, or nothing on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    std::optional<int> status;
    waitFor(
        [&] {
          int s = 0;
          if (waitpid(pid_, &s, WNOHANG) != pid_) return false;
          status = s;
          return true;
        },
        timeout);
    if (status) pid_ = -1;
    return status;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(3))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A terminal on the desktop whose program writes what it reads to `file`.
struct Terminal {
  Process process;
  Window window = 0;
  fs::path file;
  std::string received() const { return readFile(file); }
};

class TestDesktop {
 public:
  // A fresh Xvfb in a private folder; empty (with the reason) when it cannot start.
  static std::unique_ptr<TestDesktop> start(std::string& why) {
    for (const char* program : {"Xvfb", "xterm", "xdotool"}) {
      if (!onPath(program)) {
        why = std::string(program) + " is not installed (scripts/install-deps.sh)";
        return nullptr;
      }
    }
    std::unique_ptr<TestDesktop> desktop(new TestDesktop());
    char pattern[] = "/tmp/caretsafe-keys-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      why = "mkdtemp";
      return nullptr;
    }
    desktop->dir_ = pattern;
    const fs::path home = desktop->dir_ / "home";
    const fs::path runtime = desktop->dir_ / "runtime";
    fs::create_directories(home / ".cache");
    fs::create_directories(home / ".config");
    fs::create_directories(home / ".local/share");
    fs::create_directory(runtime);
    chmod(runtime.c_str(), 0700);
    const char* path = std::getenv("PATH");
    desktop->env_ = {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
                     "HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                     "XDG_CACHE_HOME=" + (home / ".cache").string(),
                     "XDG_CONFIG_HOME=" + (home / ".config").string(),
                     "XDG_DATA_HOME=" + (home / ".local/share").string(), "LANG=C.UTF-8",
                     "SHELL=/bin/sh", "GSETTINGS_BACKEND=memory", "MESA_SHADER_CACHE_DISABLE=true",
                     // No accessibility bus runs here; GTK terminals must not wait for one.
                     "NO_AT_BRIDGE=1"};

    int fds[2];
    if (pipe(fds) != 0) {
      why = "pipe";
      return nullptr;
    }
    desktop->server_ = Process::spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                       "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                                      desktop->env_, desktop->dir_ / "xvfb.log", fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 20'000) > 0) {
      char c = 0;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) {
      why = "Xvfb did not start: " + readFile(desktop->dir_ / "xvfb.log");
      return nullptr;
    }
    desktop->displayName_ = ":" + number;
    desktop->env_.push_back("DISPLAY=" + desktop->displayName_);
    XSetErrorHandler(countXError);
    desktop->display_ = XOpenDisplay(desktop->displayName_.c_str());
    if (desktop->display_ == nullptr) {
      why = "cannot open " + desktop->displayName_;
      return nullptr;
    }
    return desktop;
  }

  TestDesktop(const TestDesktop&) = delete;
  TestDesktop& operator=(const TestDesktop&) = delete;
  ~TestDesktop() {
    if (display_ != nullptr) XCloseDisplay(display_);
    server_.stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  Display* display() const { return display_; }
  const std::string& displayName() const { return displayName_; }
  const fs::path& dir() const { return dir_; }
  const std::vector<std::string>& env() const { return env_; }

  // Runs a program to its end (for example `xdotool windowfocus --sync`); whether it
  // succeeded.
  bool run(const std::vector<std::string>& argv) {
    Process p = Process::spawn(argv, env_, dir_ / "commands.log");
    const std::optional<int> status = p.wait(std::chrono::seconds(20));
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  // A terminal running `sh -c 'cat > FILE'` (after `stty -icanon` when `immediate`, so that
  // every character reaches the file as it is typed instead of at the end of the line).
  // `argvFor` turns the shell command into the terminal's command line.
  std::optional<Terminal> openTerminal(
      const std::string& name, bool immediate,
      const std::function<std::vector<std::string>(const std::string&)>& argvFor) {
    Terminal t;
    t.file = dir_ / (name + ".txt");
    const std::string command =
        std::string(immediate ? "stty -icanon && " : "") + "exec cat > '" + t.file.string() + "'";
    t.process = Process::spawn(argvFor(command), env_, dir_ / (name + ".log"));
    const pid_t pid = t.process.pid();
    const bool ready = waitFor([&] {
      t.window = viewableWindowOf(pid);
      return t.window != 0 && fs::exists(t.file);
    });
    if (!ready) return std::nullopt;
    return t;
  }

  std::optional<Terminal> openXterm(const std::string& name, bool immediate = false) {
    return openTerminal(name, immediate, [](const std::string& command) {
      return std::vector<std::string>{"xterm", "-u8", "-e", "sh", "-c", command};
    });
  }

  std::optional<Terminal> openSakura(const std::string& name, bool immediate = false) {
    return openTerminal(name, immediate, [](const std::string& command) {
      // sakura parses its command line itself, shell-style.
      return std::vector<std::string>{"sakura", "-x", "sh -c \"" + command + "\""};
    });
  }

  bool focus(Window window) {
    return run({"xdotool", "windowfocus", "--sync", std::to_string(window)});
  }

  Window focusWindow() {
    Window w = 0;
    int revert = 0;
    XGetInputFocus(display_, &w, &revert);
    return w;
  }

  // Presses or releases the key of a keysym through XTest, as a user's keyboard would.
  void key(KeySym sym, bool down) {
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, sym), down ? True : False, CurrentTime);
    XSync(display_, False);
  }
  void tap(KeySym sym) {
    key(sym, true);
    key(sym, false);
  }

  unsigned int lockedMods() {
    XkbStateRec state{};
    XkbGetState(display_, XkbUseCoreKbd, &state);
    return state.locked_mods;
  }

  std::vector<KeySym> keysymsOf(KeyCode code) {
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(display_, code, 1, &per);
    std::vector<KeySym> out(syms, syms + per);
    XFree(syms);
    return out;
  }

 private:
  TestDesktop() = default;

  // The top-level window (a child of the root: no window manager runs) that the process
  // with this pid has mapped, or 0.
  Window viewableWindowOf(pid_t pid) {
    const Atom pidAtom = XInternAtom(display_, "_NET_WM_PID", False);
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
      return 0;
    }
    for (unsigned int i = 0; i < count && found == 0; ++i) {
      Atom type = 0;
      int format = 0;
      unsigned long items = 0;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(display_, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                             &format, &items, &after, &data) == Success &&
          data != nullptr && items == 1 && format == 32 &&
          static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, children[i], &attributes) &&
            attributes.map_state == IsViewable) {
          found = children[i];
        }
      }
      if (data != nullptr) XFree(data);
    }
    if (children != nullptr) XFree(children);
    return found;
  }

  fs::path dir_;
  std::vector<std::string> env_;
  std::string displayName_;
  Process server_;
  Display* display_ = nullptr;
};

// UTF-8 of a UTF-32 text.
inline std::string utf8(std::u32string_view text) {
  std::string out;
  for (const char32_t c : text) text::appendUtf8(out, c);
  return out;
}

}  // namespace caretsafe::testing::x11
