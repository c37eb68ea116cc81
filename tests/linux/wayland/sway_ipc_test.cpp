// The compositor IPC client against a fake compositor on a Unix socket of the test's own: the
// framing, replies that arrive in pieces, late or broken, reconnection, and finding the
// focused window in trees of the shapes the compositor answers.

#include "platform/linux/display/wayland/sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace caretsafe::wayland {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr std::uint32_t kGetTree = 4;

std::string header(std::uint32_t length, std::uint32_t type, const char* magic = "i3-ipc") {
  std::string h(magic, 6);
  h.append(reinterpret_cast<const char*>(&length), 4);
  h.append(reinterpret_cast<const char*>(&type), 4);
  return h;
}

std::string frame(std::uint32_t type, const std::string& payload) {
  return header(static_cast<std::uint32_t>(payload.size()), type) + payload;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool readExactly(int fd, char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, out, size, 0);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Received {
  std::string magic;
  std::uint32_t type = 0;
  std::string payload;
};

// One request as the client framed it; nothing when the client closed.
std::optional<Received> readRequest(int fd) {
  char h[14];
  if (!readExactly(fd, h, sizeof(h))) return std::nullopt;
  Received r;
  r.magic.assign(h, 6);
  std::uint32_t length = 0;
  std::memcpy(&length, h + 6, 4);
  std::memcpy(&r.type, h + 10, 4);
  r.payload.resize(length);
  if (!readExactly(fd, r.payload.data(), length)) return std::nullopt;
  return r;
}

// A tree with one output, one workspace and one focused window.
json treeWithFocus(std::int64_t conId, int pid, const std::string& appId) {
  json view = {{"id", conId},
               {"type", "con"},
               {"focused", true},
               {"pid", pid},
               {"app_id", appId},
               {"shell", "xdg_shell"},
               {"nodes", json::array()},
               {"floating_nodes", json::array()},
               {"focus", json::array()}};
  json workspace = {{"id", 4},
                    {"type", "workspace"},
                    {"focused", false},
                    {"nodes", {view}},
                    {"floating_nodes", json::array()},
                    {"focus", {conId}}};
  json output = {
      {"id", 3}, {"type", "output"}, {"focused", false}, {"nodes", {workspace}}, {"focus", {4}}};
  return {{"id", 1}, {"type", "root"}, {"focused", false}, {"nodes", {output}}, {"focus", {3}}};
}

// A compositor that answers as its script says: each accepted connection runs the next script
// (the last one repeats) on a thread of its own, with the connection's socket.
class FakeCompositor {
 public:
  using Script = std::function<void(int fd, FakeCompositor& self)>;

  explicit FakeCompositor(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    folder_ = std::filesystem::temp_directory_path() /
              ("caretsafe-ipc-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
    std::filesystem::create_directories(folder_);
    path_ = (folder_ / "ipc.sock").string();
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 8) != 0) {
      ADD_FAILURE() << "the fake compositor's socket: " << std::strerror(errno);
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~FakeCompositor() {
    stop();
    std::filesystem::remove_all(folder_);
  }

  const std::string& path() const { return path_; }
  int connections() const { return accepted_.load(); }

  // Ends every connection and the listener; the socket file stays, refusing connections.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    // Wakes the scripts blocked reading a connection that the client keeps open.
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : workers_) t.join();
    workers_.clear();
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }

  // For scripts: waits until the test calls `release` (or the compositor stops).
  void waitForRelease() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return released_ || stopping_; });
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  // For the test: waits until a script says it has done its part.
  void signalDone() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
  }
  void waitForDone() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
  }

  std::vector<Received> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  void record(const Received& r) {
    std::lock_guard lock(mutex_);
    requests_.push_back(r);
  }

 private:
  void acceptLoop() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      const auto index = static_cast<std::size_t>(accepted_++);
      fds_.push_back(fd);
      Script& script = scripts_[std::min(index, scripts_.size() - 1)];
      workers_.emplace_back([this, fd, &script] {
        script(fd, *this);
        // A script ends its connection by returning; the fd stays open until stop(), so a
        // reply written before the end can still be read.
        ::shutdown(fd, SHUT_WR);
      });
    }
  }

  static inline std::atomic<int> next_{0};
  std::vector<Script> scripts_;
  std::filesystem::path folder_;
  std::string path_;
  int listener_ = -1;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool released_ = false;
  bool done_ = false;
  std::vector<Received> requests_;
};

// Answers every request on the connection with `tree`, recording what it received.
FakeCompositor::Script answering(const json& tree) {
  return [payload = tree.dump()](int fd, FakeCompositor& self) {
    while (auto r = readRequest(fd)) {
      self.record(*r);
      if (!writeAll(fd, frame(r->type, payload))) return;
    }
  };
}

// Reads one request and answers it with raw bytes, written in pieces of `piece` bytes, then
// leaves the connection as `thenClose` says.
FakeCompositor::Script raw(std::string bytes, std::size_t piece, bool thenClose) {
  return [bytes = std::move(bytes), piece, thenClose](int fd, FakeCompositor& self) {
    if (!readRequest(fd)) return;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      if (!writeAll(fd, bytes.substr(at, piece))) return;
      if (piece < bytes.size()) std::this_thread::sleep_for(200us);
    }
    if (!thenClose) self.waitForRelease();
  };
}

TEST(WaylandIpcTransport, RepliesInPiecesOrBrokenAreReadOrRefusedWithinTheBound) {
  const json tree = treeWithFocus(42, 1234, "foot");
  const std::string reply = frame(kGetTree, tree.dump());
  // A tree padded to several megabytes: more than one read, and more than a socket buffer.
  json big = tree;
  big["padding"] = std::string(3 * 1024 * 1024, 'x');
  const std::string bigReply = frame(kGetTree, big.dump());
  const auto truncated = [](std::string s) { return s.substr(0, s.size() / 2); };

  struct Case {
    const char* name;
    FakeCompositor::Script script;
    bool answers;
  };
  const std::vector<Case> cases = {
      {"whole reply at once", raw(reply, reply.size(), false), true},
      {"header and payload split byte by byte", raw(reply, 1, false), true},
      {"header split inside the magic", raw(reply, 3, false), true},
      {"a reply larger than one read", raw(bigReply, 64 * 1024, false), true},
      {"wrong magic", raw("i3-ipx" + reply.substr(6), reply.size(), false), false},
      {"a reply to another request type", raw(frame(7, tree.dump()), reply.size(), false), false},
      {"truncated, then closed", raw(truncated(reply), reply.size(), true), false},
      {"header only, then closed", raw(reply.substr(0, 14), 14, true), false},
      {"a header cut short, then closed", raw(reply.substr(0, 9), 9, true), false},
      {"truncated, then silent", raw(truncated(reply), reply.size(), false), false},
      {"no reply at all", raw("", 1, false), false},
      {"a length beyond any tree", raw(header(0xFFFFFFF0u, kGetTree), 14, false), false},
      {"a payload that is not JSON", raw(frame(kGetTree, "{\"nodes\": [1, 2"), 64, false), false},
      {"closed without a reply", raw("", 1, true), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCompositor compositor({c.script});
    SwayIpc ipc(compositor.path(), 1s);
    const auto window = ipc.focusedWindow();
    if (c.answers) {
      ASSERT_TRUE(window.has_value());
      EXPECT_EQ(window->conId, 42);
      EXPECT_EQ(window->pid, 1234);
      EXPECT_EQ(window->appId, "foot");
      EXPECT_TRUE(window->focused);
    } else {
      EXPECT_FALSE(window.has_value());
    }
    compositor.release();
  }
}

TEST(WaylandIpcTransport, FramesTheRequestAsTheCompositorReadsIt) {
  FakeCompositor compositor({answering(treeWithFocus(5, 10, "a"))});
  SwayIpc ipc(compositor.path());
  ASSERT_TRUE(ipc.focusedWindow().has_value());
  ASSERT_TRUE(ipc.request(SwayIpc::Request::kCommand, "[pid=10] focus").has_value());
  const auto got = compositor.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].magic, "i3-ipc");
  EXPECT_EQ(got[0].type, kGetTree);
  EXPECT_EQ(got[0].payload, "");
  EXPECT_EQ(got[1].type, 0u);
  EXPECT_EQ(got[1].payload, "[pid=10] focus");
  // Both on one connection: a per-character focus check does not reconnect each time.
  EXPECT_EQ(compositor.connections(), 1);
}

TEST(WaylandIpcTransport, AReplyThatCameTooLateIsNeverTakenForTheNextAnswer) {
  const std::string late = frame(kGetTree, treeWithFocus(1, 111, "late").dump());
  FakeCompositor compositor({
      [&](int fd, FakeCompositor& self) {
        if (!readRequest(fd)) return;
        self.waitForRelease();  // until the client has given up on this request
        writeAll(fd, late);
        self.signalDone();
        self.waitForRelease();
      },
      answering(treeWithFocus(2, 222, "fresh")),
  });
  SwayIpc ipc(compositor.path(), 150ms);
  EXPECT_FALSE(ipc.focusedWindow().has_value());
  compositor.release();
  compositor.waitForDone();  // the late reply is now waiting on the first connection
  const auto window = ipc.focusedWindow();
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->appId, "fresh");
  EXPECT_EQ(compositor.connections(), 2);
}

TEST(WaylandIpcTransport, ReconnectsAfterARefusedOrClosedSocket) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("caretsafe-ipc-refused-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  {
    // Nobody listening yet: refused, answered at once.
    SwayIpc ipc((folder / "none.sock").string());
    EXPECT_FALSE(ipc.focusedWindow().has_value());
  }
  std::filesystem::remove_all(folder);

  // A compositor that closes each connection after one answer, then one that keeps it.
  FakeCompositor compositor({
      [](int fd, FakeCompositor&) {
        if (auto r = readRequest(fd))
          writeAll(fd, frame(r->type, treeWithFocus(7, 70, "x").dump()));
      },
      answering(treeWithFocus(8, 80, "y")),
  });
  SwayIpc ipc(compositor.path());
  ASSERT_TRUE(ipc.focusedWindow().has_value());
  // The first connection is closed by now; the next call finds out and connects again,
  // within the same call or the one after it, never answering something wrong.
  std::optional<FocusedWindow> second = ipc.focusedWindow();
  if (!second) second = ipc.focusedWindow();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->conId, 8);

  compositor.stop();  // the compositor went away
  EXPECT_FALSE(ipc.focusedWindow().has_value());
  EXPECT_FALSE(ipc.focusedWindow().has_value());
}

TEST(WaylandIpcTransport, NoSocketKnowsNothing) {
  EXPECT_FALSE(SwayIpc("").focusedWindow().has_value());
  EXPECT_FALSE(SwayIpc(std::string(200, 'a')).focusedWindow().has_value());  // too long a path

  const char* saved = std::getenv("SWAYSOCK");
  const std::string keep = saved != nullptr ? saved : "";
  ::unsetenv("SWAYSOCK");
  EXPECT_FALSE(SwayIpc::fromEnvironment().available());
  EXPECT_FALSE(SwayIpc::fromEnvironment().focusedWindow().has_value());
  FakeCompositor compositor({answering(treeWithFocus(9, 90, "z"))});
  ::setenv("SWAYSOCK", compositor.path().c_str(), 1);
  const auto window = SwayIpc::fromEnvironment().focusedWindow();
  if (saved != nullptr) {
    ::setenv("SWAYSOCK", keep.c_str(), 1);
  } else {
    ::unsetenv("SWAYSOCK");
  }
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->conId, 9);
}

// --- trees ---------------------------------------------------------------------------------

json node(std::int64_t id, const char* type, json children = json::array(),
          json floating = json::array()) {
  json focus = json::array();
  for (const auto& c : children) focus.push_back(c["id"]);
  for (const auto& c : floating) focus.push_back(c["id"]);
  return {{"id", id},
          {"type", type},
          {"focused", false},
          {"nodes", std::move(children)},
          {"floating_nodes", std::move(floating)},
          {"focus", std::move(focus)}};
}

json view(std::int64_t id, const char* appId, int pid, bool focused = false,
          const char* type = "con") {
  json v = node(id, type);
  v["app_id"] = appId;
  v["pid"] = pid;
  v["shell"] = "xdg_shell";
  v["window"] = nullptr;
  v["focused"] = focused;
  return v;
}

json xwaylandView(std::int64_t id, const char* cls, int pid, bool focused) {
  json v = node(id, "con");
  v["app_id"] = nullptr;
  v["pid"] = pid;
  v["shell"] = "xwayland";
  v["window"] = 4194316;
  v["window_properties"] = {{"class", cls}, {"instance", "xterm"}, {"title", "t"}};
  v["focused"] = focused;
  return v;
}

json desktop(json workspaceNodes, json floating = json::array()) {
  json ws = node(10, "workspace", std::move(workspaceNodes), std::move(floating));
  json out = node(3, "output", json::array({ws}));
  json scratch = node(2, "output", json::array({node(9, "workspace")}));
  return node(1, "root", json::array({scratch, out}));
}

TEST(WaylandFocusedWindowInTree, FindsTheWindowTheCompositorMarksFocused) {
  // output → workspace → split → split → tabbed → window, beside unfocused windows.
  json deep = desktop(json::array({node(
      20, "con",
      json::array({view(21, "a", 100),
                   node(22, "con",
                        json::array({node(23, "con",
                                          json::array({view(24, "b", 200),
                                                       view(25, "deep", 300, true)}))}))}))}));
  json floating = desktop(json::array({view(30, "tiled", 100)}),
                          json::array({view(31, "floaty", 400, true, "floating_con")}));
  json xwayland =
      desktop(json::array({view(40, "gtk", 100), xwaylandView(41, "XTerm", 500, true)}));
  json noPid = desktop(json::array({view(50, "nopid", 0, true)}));
  noPid["nodes"][1]["nodes"][0]["nodes"][0].erase("pid");
  json zeroPid = desktop(json::array({view(51, "zeropid", 0, true)}));

  struct Case {
    const char* name;
    json tree;
    FocusedWindow expected;
  };
  const std::vector<Case> cases = {
      {"deep in nested containers", deep, {25, 300, "deep", false, true}},
      {"a floating window", floating, {31, 400, "floaty", false, true}},
      {"an XWayland window: its X11 class", xwayland, {41, 500, "XTerm", true, true}},
      {"no pid in the tree", noPid, {50, std::nullopt, "nopid", false, true}},
      {"a pid of 0", zeroPid, {51, std::nullopt, "zeropid", false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(focusedWindowInTree(c.tree), std::optional<FocusedWindow>(c.expected));
  }
}

TEST(WaylandFocusedWindowInTree, AFocusedContainerLeadsToAWindowThatIsNotSaidToBeFocused) {
  // The focus on a split container: its focus order leads to window 24, which the compositor
  // does not mark focused.
  json split = node(22, "con", json::array({view(23, "first", 100), view(24, "recent", 200)}));
  split["focus"] = json::array({24, 23});
  split["focused"] = true;
  const auto window = focusedWindowInTree(desktop(json::array({split})));
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->conId, 24);
  EXPECT_FALSE(window->focused);
}

TEST(WaylandFocusedWindowInTree, NothingWhenNoWindowHasTheFocus) {
  json emptyWorkspace = desktop(json::array());
  emptyWorkspace["nodes"][1]["nodes"][0]["focused"] = true;
  json noneFocused = desktop(json::array({view(60, "a", 100), view(61, "b", 200)}));
  json focusNamesNoChild = desktop(json::array({view(62, "a", 100)}));
  focusNamesNoChild["nodes"][1]["nodes"][0]["focused"] = true;
  focusNamesNoChild["nodes"][1]["nodes"][0]["focus"] = json::array({999});

  struct Case {
    const char* name;
    json tree;
  };
  const std::vector<Case> cases = {
      {"an empty workspace focused", emptyWorkspace},
      {"no node focused", noneFocused},
      {"a focus order naming no child", focusNamesNoChild},
      {"not an object", json::array({1, 2, 3})},
      {"children that are not lists", json{{"id", 1}, {"nodes", "x"}, {"floating_nodes", 3}}},
      {"a focused window without an id",
       json{{"nodes",
             json::array(
                 {json{{"type", "con"}, {"focused", true}, {"pid", 5}, {"shell", "xdg_shell"}}})}}},
      {"null", json()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(focusedWindowInTree(c.tree).has_value());
  }
}

}  // namespace
}  // namespace caretsafe::wayland
