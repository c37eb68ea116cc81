#include "platform/stop_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

}  // namespace

void installStopHandlers() {
  static const bool installed = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      pipeRead = fds[0];
      pipeWrite = fds[1];
    }
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
