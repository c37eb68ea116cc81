#include "platform/stop_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

namespace caretsafe {
namespace {

std::atomic<bool> requested{false};
std::atomic<bool> restart{false};
// The pipe the handler writes one byte to; its read end is what waits watch.
int pipeRead = -1;
int pipeWrite = -1;

void onStop(int) {
  const int saved = errno;
  requested.store(true);
  if (pipeWrite >= 0) {
    const char byte = 1;
    // Non-blocking: a full pipe already says "stop".
    [[maybe_unused]] const ssize_t n = ::write(pipeWrite, &byte, 1);
  }
  errno = saved;
}

// Marks a descriptor close-on-exec and non-blocking; false when either cannot be set.
bool closeOnExecNonBlocking(int fd) {
  const int descriptorFlags = ::fcntl(fd, F_GETFD);
  if (descriptorFlags < 0 || ::fcntl(fd, F_SETFD, descriptorFlags | FD_CLOEXEC) < 0) return false;
  const int statusFlags = ::fcntl(fd, F_GETFL);
  return statusFlags >= 0 && ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == 0;
}

// The pipe between the handlers and the waits. Plain pipe() and fcntl(), since macOS has no
// pipe2(): the flags are set before the handlers exist, so no signal can find the pipe half
// made, and a pipe whose flags cannot be set is not used (a blocking write end could hang a
// handler), leaving the flag alone to carry the request.
void openStopPipe() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  if (!closeOnExecNonBlocking(fds[0]) || !closeOnExecNonBlocking(fds[1])) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  pipeRead = fds[0];
  pipeWrite = fds[1];
}

}  // namespace

void installStopHandlers() {
  static const bool installed = [] {
    openStopPipe();
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call returns EINTR and its caller looks at the request.
    action.sa_flags = 0;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
    return true;
  }();
  static_cast<void>(installed);
}

void requestRestart() noexcept {
  restart.store(true);
  if (pipeWrite >= 0) {
    const char byte = 2;
    [[maybe_unused]] const ssize_t n = ::write(pipeWrite, &byte, 1);
  }
}

bool restartRequested() noexcept {
  return restart.load();
}

bool stopRequested() noexcept {
  return requested.load();
}

int stopDescriptor() noexcept {
  return pipeRead;
}

}  // namespace caretsafe
