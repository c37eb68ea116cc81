// A child process with pipes on its standard input and output, for end-to-end tests of the
// real binaries.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace caretsafe::testing {

// The built binaries, as the build names them. The simulated desktop's program is
// caretsafe-sim, or the one CARETSAFE_E2E_SIM names: the same suites run caretsafe-mac-sim, the
// macOS adapter over frameworks answered by the simulated desktop, that way.
inline std::string simBinary() {
  const char* chosen = std::getenv("CARETSAFE_E2E_SIM");
  return chosen != nullptr && *chosen != '\0' ? std::string(chosen)
                                              : std::string(CARETSAFE_SIM_BIN);
}
inline std::string realBinary() {
  return CARETSAFE_BIN;
}

// How a child's standard input is set up.
enum class ChildInput {
  kPipe,       // a pipe the test writes to
  kClosed,     // no descriptor 0 at all
  kDirectory,  // the root directory: every read fails
};

class Child {
 public:
  // Starts `program` with `args` (args[0] is the name it sees) and `env` added to a clean
  // environment. Its standard error goes to a pipe of its own (`errors`). With `keepEnds`
  // the test also holds the child's ends of its standard input and output pipes until it
  // switches them (`makeChildInputNonBlocking`, `makeChildOutputNonBlocking`).
  Child(const std::string& program, std::vector<std::string> args,
        std::vector<std::string> env = {}, ChildInput input = ChildInput::kPipe,
        bool keepEnds = false) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      signal(SIGPIPE, SIG_DFL);  // as a host starts its children, not as this test runs
      if (input == ChildInput::kPipe) dup2(in[0], 0);
      if (input == ChildInput::kClosed) close(0);
      if (input == ChildInput::kDirectory) {
        const int root = open("/", O_RDONLY | O_DIRECTORY);
        dup2(root, 0);
        close(root);
      }
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        if (fd > 2) close(fd);
      }
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (std::string& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (keepEnds) {
      childInputEnd_ = in[0];
      childOutputEnd_ = out[1];
    } else {
      close(in[0]);
      close(out[1]);
    }
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    closeStdin();
    for (const int fd : {stdout_, stderr_, childInputEnd_, childOutputEnd_}) {
      if (fd >= 0) close(fd);
    }
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("write to child");
      done += static_cast<std::size_t>(n);
    }
  }

  // Stops reading the child's output: its next write meets a broken pipe.
  void closeOutput() {
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
  }

  void closeStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // The next output line (without its line feed), or nothing if none arrives within the
  // timeout or the output ends. The timeout only keeps a broken build from hanging the suite.
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) return std::nullopt;
    }
  }

  // Everything left on the output until it ends.
  std::string readAll() {
    while (fill(20'000)) {
    }
    return std::exchange(buffer_, {});
  }

  // Turns the child's own end of its standard input or output pipe non-blocking (the flag
  // belongs to the pipe end, which the test shares with the child). Once only.
  void makeChildInputNonBlocking() { makeNonBlocking(childInputEnd_); }
  void makeChildOutputNonBlocking() { makeNonBlocking(childOutputEnd_); }

  // Everything the child wrote to its standard error; call after `wait`.
  std::string errors() {
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = read(stderr_, chunk, sizeof chunk)) > 0;) {
      all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
  }

  // Waits for the exit; the raw wait status.
  int wait() {
    if (!status_) {
      int status = 0;
      waitpid(pid_, &status, 0);
      status_ = status;
    }
    return *status_;
  }

 private:
  bool fill(int timeoutMs) {
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[65536];
    const ssize_t n = read(stdout_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  // Sets the flag, then lets go of both kept ends: a kept output end would keep the test
  // from ever seeing the child's output end.
  void makeNonBlocking(int fd) {
    if (fd < 0) throw std::runtime_error("the child's pipe ends were not kept");
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (int* end : {&childInputEnd_, &childOutputEnd_}) {
      if (*end >= 0) close(*end);
      *end = -1;
    }
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  int childInputEnd_ = -1;
  int childOutputEnd_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

}  // namespace caretsafe::testing
