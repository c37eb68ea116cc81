#pragma once

// A small client of the compositor's IPC socket (sway and the compositors that speak its
// protocol): which window holds the keyboard focus, its process and its application id.
// Terminals with no accessible have no other way to be found on Wayland, and their focus must
// be confirmed before every character, so every request here is bounded in time and a
// compositor that stops answering only ever costs one timeout.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace caretsafe::wayland {

// One window of the compositor's tree, as the keyboard focus sees it.
struct FocusedWindow {
  std::int64_t conId = 0;    // the compositor's id of the window's node
  std::optional<pid_t> pid;  // absent when the compositor does not know it
  std::string appId;         // the Wayland app id, or the X11 class of an XWayland window
  bool xwayland = false;     // an X11 window shown through XWayland
  // Whether the compositor marks this very window focused. False for the window that a
  // focused container or workspace leads to: keys then may or may not reach it, so a caller
  // that must know where keys go treats it as not focused.
  bool focused = false;

  bool operator==(const FocusedWindow&) const = default;
};

// The window that holds the focus in a tree as the compositor's GET_TREE answers it: the node
// marked focused when it is a window; when a container or workspace is marked focused, the
// window its focus order leads to, with `focused` false; nothing when no node is focused or
// no window is reached. Never throws.
std::optional<FocusedWindow> focusedWindowInTree(const nlohmann::json& tree) noexcept;

class SwayIpc {
 public:
  // Message types of the requests used here.
  enum class Request : std::uint32_t {
    kCommand = 0,
    kGetWorkspaces = 1,
    kGetTree = 4,
    kGetVersion = 7
  };

  static constexpr std::chrono::milliseconds kDefaultTimeout{2000};
  // A reply longer than this is taken as a broken stream, not allocated.
  static constexpr std::uint32_t kMaxPayload = 64u * 1024u * 1024u;

  // A client of the socket at `socketPath`; an empty path knows nothing. Nothing is opened
  // until the first request.
  explicit SwayIpc(std::string socketPath, std::chrono::milliseconds timeout = kDefaultTimeout);
  // The compositor of this session: the socket named by SWAYSOCK, or none.
  static SwayIpc fromEnvironment(std::chrono::milliseconds timeout = kDefaultTimeout);

  ~SwayIpc();
  SwayIpc(const SwayIpc&) = delete;
  SwayIpc& operator=(const SwayIpc&) = delete;
  SwayIpc(SwayIpc&& other) noexcept;
  SwayIpc& operator=(SwayIpc&& other) noexcept;

  bool available() const noexcept { return !path_.empty(); }

  // The focused window (see focusedWindowInTree); nothing when there is no socket, the
  // compositor did not answer within the timeout, or its answer was broken.
  std::optional<FocusedWindow> focusedWindow() noexcept;

  // One request and its reply's payload, within the timeout. The connection is kept for the
  // next request; after any failure (refused, closed, late, a reply of the wrong shape) it is
  // dropped, and the next request connects again, so a late reply can never be read as the
  // answer to a later request.
  std::optional<std::string> request(Request type, std::string_view payload = {}) noexcept;

 private:
  using Clock = std::chrono::steady_clock;
  bool connectBy(Clock::time_point deadline) noexcept;
  bool writeAll(const char* data, std::size_t size, Clock::time_point deadline) noexcept;
  bool readAll(char* data, std::size_t size, Clock::time_point deadline) noexcept;
  bool waitFor(short events, Clock::time_point deadline) noexcept;
  void disconnect() noexcept;

  std::string path_;
  std::chrono::milliseconds timeout_;
  int fd_ = -1;
};

}  // namespace caretsafe::wayland
