// caretsafe: captures the text field the user works in and later inserts text at its caret,
// answering JSON request lines on standard input with JSON response lines on standard output.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <string_view>

#include "app/fd_streams.h"
#include "app/request_loop.h"
#include "app/self_test.h"
#include "platform/process_platform.h"
#include "platform/stop_request.h"

int main(int argc, char** argv) {
  // "--self-test" anywhere, the program's own name included, runs the self-test instead.
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::string_view(argv[i]) == "--self-test") caretsafe::runSelfTest();
  }

  // A closed standard input is an input that has already ended. A closed standard output
  // leaves nobody to answer, so no request may be carried out.
  if (!caretsafe::isOpenDescriptor(0)) return EXIT_SUCCESS;
  if (!caretsafe::isOpenDescriptor(1)) return EXIT_FAILURE;
  // A reader that goes away must not kill the process mid-request: the write fails instead,
  // and the loop stops there (exit status 1). A host's child starts with the default
  // disposition, which would end it by the signal.
  std::signal(SIGPIPE, SIG_IGN);
  // Nothing is ever written to standard error. A closed one is pointed at /dev/null, so that
  // no file opened later takes its number and receives what a library might print there.
  if (!caretsafe::isOpenDescriptor(2)) ::open("/dev/null", O_WRONLY);

  // A host ends its helper with SIGTERM (the Node client, 2 s after closing its input): the
  // loop ends after the request in hand, which the platform cuts short, and the platform then
  // undoes what it changed on the desktop (spare keycodes) before the process exits.
  caretsafe::installStopHandlers();
  caretsafe::FdInputBuffer inputBuffer(0, caretsafe::stopDescriptor());
  caretsafe::FdOutputBuffer outputBuffer(1);
  std::istream in(&inputBuffer);
  std::ostream out(&outputBuffer);

  caretsafe::LoopEnd end = caretsafe::LoopEnd::kInputEnded;
  {
    const auto platform = caretsafe::makeProcessPlatform();
    caretsafe::TargetSlot target;  // empty before the first line; dropped before the platform
    end = caretsafe::runRequestLoop(*platform, target, in, out);
  }
  if (end == caretsafe::LoopEnd::kInputEnded && caretsafe::restartRequested() &&
      !caretsafe::stopRequested()) {
    // The same process (same pid, same pipes) starts afresh; the host sees one helper that
    // answers on. Every line read so far has been answered, and what the host wrote since
    // waits in the pipe.
    out.flush();
    ::execv("/proc/self/exe", argv);
    return caretsafe::kExitRestartFailed;
  }
  return end == caretsafe::LoopEnd::kInputEnded ? EXIT_SUCCESS : EXIT_FAILURE;
}
