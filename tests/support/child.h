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

// The built binaries, as the build names them.
inline std::string simBinary() {
  return CARETSAFE_SIM_BIN;
}
inline std::string realBinary() {
  return CARETSAFE_BIN;
}

class Child {
 public:
  // Starts `program` with `args` (args[0] is the name it sees) and `env` added to a clean
  // environment.
  Child(const std::string& program, std::vector<std::string> args,
        std::vector<std::string> env = {}) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (std::string& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    closeStdin();
    if (stdout_ >= 0) close(stdout_);
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

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

}  // namespace caretsafe::testing
