#include "platform/linux/display/wayland/sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace caretsafe::wayland {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t kMagicSize = sizeof(kMagic);
constexpr std::size_t kHeaderSize = kMagicSize + 2 * sizeof(std::uint32_t);
// Bounds on walking a tree that came from another process.
constexpr std::size_t kMaxNodes = 100000;
constexpr int kMaxFocusSteps = 1000;

using nlohmann::json;

const json* member(const json& node, const char* name) {
  if (!node.is_object()) return nullptr;
  auto it = node.find(name);
  return it == node.end() ? nullptr : &*it;
}

bool isTrue(const json& node, const char* name) {
  const json* value = member(node, name);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::string stringOf(const json* value) {
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

// A window (a view), not an output, workspace or split container: only views carry a shell,
// an app id or a process.
bool isWindow(const json& node) {
  const std::string type = stringOf(member(node, "type"));
  if (type != "con" && type != "floating_con") return false;
  return member(node, "shell") != nullptr || member(node, "pid") != nullptr ||
         member(node, "app_id") != nullptr || member(node, "window_properties") != nullptr;
}

template <typename Visit>
void forEachChild(const json& node, Visit&& visit) {
  for (const char* list : {"nodes", "floating_nodes"}) {
    const json* children = member(node, list);
    if (children == nullptr || !children->is_array()) continue;
    for (const json& child : *children) visit(child);
  }
}

std::optional<FocusedWindow> describe(const json& node, bool focused) {
  FocusedWindow window;
  const json* id = member(node, "id");
  if (id == nullptr || !id->is_number_integer()) return std::nullopt;
  window.conId = id->get<std::int64_t>();
  if (const json* pid = member(node, "pid"); pid != nullptr && pid->is_number_integer()) {
    const auto value = pid->get<std::int64_t>();
    if (value > 0 && value <= 0x7fffffff) window.pid = static_cast<pid_t>(value);
  }
  const std::string shell = stringOf(member(node, "shell"));
  const json* xwindow = member(node, "window");
  window.xwayland =
      shell == "xwayland" || (shell.empty() && xwindow != nullptr && xwindow->is_number_integer());
  if (window.xwayland) {
    const json* properties = member(node, "window_properties");
    window.appId = properties != nullptr ? stringOf(member(*properties, "class")) : "";
  } else {
    window.appId = stringOf(member(node, "app_id"));
  }
  window.focused = focused;
  return window;
}

// The window that a node's focus order leads to: each step takes the child named first in the
// node's "focus" list.
const json* focusLeaf(const json& start) {
  const json* node = &start;
  for (int step = 0; step < kMaxFocusSteps; ++step) {
    if (isWindow(*node)) return node;
    const json* order = member(*node, "focus");
    if (order == nullptr || !order->is_array() || order->empty() ||
        !order->front().is_number_integer()) {
      return nullptr;
    }
    const auto wanted = order->front().get<std::int64_t>();
    const json* next = nullptr;
    forEachChild(*node, [&](const json& child) {
      const json* id = member(child, "id");
      if (next == nullptr && id != nullptr && id->is_number_integer() &&
          id->get<std::int64_t>() == wanted) {
        next = &child;
      }
    });
    if (next == nullptr) return nullptr;
    node = next;
  }
  return nullptr;
}

}  // namespace

std::optional<FocusedWindow> focusedWindowInTree(const nlohmann::json& tree) noexcept {
  try {
    // Depth first without recursion: the tree comes from another process.
    std::vector<const json*> stack{&tree};
    std::size_t seen = 0;
    while (!stack.empty() && seen++ < kMaxNodes) {
      const json* node = stack.back();
      stack.pop_back();
      if (isTrue(*node, "focused")) {
        if (isWindow(*node)) return describe(*node, true);
        const json* leaf = focusLeaf(*node);
        return leaf != nullptr ? describe(*leaf, false) : std::nullopt;
      }
      forEachChild(*node, [&](const json& child) { stack.push_back(&child); });
    }
  } catch (...) {
  }
  return std::nullopt;
}

SwayIpc::SwayIpc(std::string socketPath, std::chrono::milliseconds timeout)
    : path_(std::move(socketPath)), timeout_(timeout) {}

SwayIpc SwayIpc::fromEnvironment(std::chrono::milliseconds timeout) {
  const char* path = std::getenv("SWAYSOCK");
  return SwayIpc(path != nullptr ? std::string(path) : std::string(), timeout);
}

SwayIpc::~SwayIpc() {
  disconnect();
}

SwayIpc::SwayIpc(SwayIpc&& other) noexcept
    : path_(std::move(other.path_)), timeout_(other.timeout_), fd_(std::exchange(other.fd_, -1)) {}

SwayIpc& SwayIpc::operator=(SwayIpc&& other) noexcept {
  if (this != &other) {
    disconnect();
    path_ = std::move(other.path_);
    timeout_ = other.timeout_;
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void SwayIpc::disconnect() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool SwayIpc::waitFor(short events, Clock::time_point deadline) noexcept {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd_, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) continue;  // the deadline is checked again above
    // Readable data may come with a hang-up; the read itself tells.
    return (entry.revents & (events | POLLHUP)) != 0 && (entry.revents & POLLNVAL) == 0;
  }
}

bool SwayIpc::connectBy(Clock::time_point deadline) noexcept {
  if (fd_ >= 0) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.empty() || path_.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    return true;
  }
  // A Unix socket connects at once or not at all, except when the listener's backlog is full.
  if (errno == EINPROGRESS || errno == EAGAIN) {
    int error = 0;
    socklen_t size = sizeof(error);
    if (waitFor(POLLOUT, deadline) && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
        error == 0) {
      return true;
    }
  }
  disconnect();
  return false;
}

bool SwayIpc::writeAll(const char* data, std::size_t size, Clock::time_point deadline) noexcept {
  while (size > 0) {
    const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLOUT, deadline)) {
      continue;
    }
    return false;
  }
  return true;
}

bool SwayIpc::readAll(char* data, std::size_t size, Clock::time_point deadline) noexcept {
  while (size > 0) {
    const ssize_t got = ::recv(fd_, data, size, 0);
    if (got > 0) {
      data += got;
      size -= static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) return false;  // closed mid-reply
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLIN, deadline)) continue;
    return false;
  }
  return true;
}

std::optional<std::string> SwayIpc::request(Request type, std::string_view payload) noexcept {
  if (path_.empty() || payload.size() > kMaxPayload) return std::nullopt;
  try {
    const auto deadline = Clock::now() + timeout_;
    if (!connectBy(deadline)) return std::nullopt;

    std::string message(kMagic, kMagicSize);
    const auto length = static_cast<std::uint32_t>(payload.size());
    const auto code = static_cast<std::uint32_t>(type);
    message.append(reinterpret_cast<const char*>(&length), sizeof(length));
    message.append(reinterpret_cast<const char*>(&code), sizeof(code));
    message.append(payload);

    char header[kHeaderSize];
    std::uint32_t replyLength = 0;
    std::uint32_t replyType = 0;
    if (writeAll(message.data(), message.size(), deadline) &&
        readAll(header, sizeof(header), deadline) && std::memcmp(header, kMagic, kMagicSize) == 0) {
      std::memcpy(&replyLength, header + kMagicSize, sizeof(replyLength));
      std::memcpy(&replyType, header + kMagicSize + sizeof(replyLength), sizeof(replyType));
      // Not subscribed to events, so the next message is this request's reply.
      if (replyType == code && replyLength <= kMaxPayload) {
        std::string reply(replyLength, '\0');
        if (readAll(reply.data(), reply.size(), deadline)) return reply;
      }
    }
  } catch (...) {
  }
  disconnect();
  return std::nullopt;
}

std::optional<FocusedWindow> SwayIpc::focusedWindow() noexcept {
  try {
    const auto reply = request(Request::kGetTree);
    if (!reply) return std::nullopt;
    const json tree = json::parse(*reply, nullptr, /*allow_exceptions=*/false);
    if (tree.is_discarded()) return std::nullopt;
    return focusedWindowInTree(tree);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace caretsafe::wayland
