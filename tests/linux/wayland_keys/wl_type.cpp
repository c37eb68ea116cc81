// caretsafe-wl-type: types a text into whatever holds the keyboard focus on the compositor
// named by WAYLAND_DISPLAY, through the virtual keyboard module. For the tests and the typing
// benchmark; nothing else uses it.
//
//   caretsafe-wl-type [--stats] [--focus-for N] [--pause-after N] TEXT
//   caretsafe-wl-type --offered
//
// --focus-for N: the focus check says yes for the first N keys and no after that (the typing
// stops at the first no, as a caller's does). --stats: one JSON line on standard output with
// the keyboard's counters, the time from the start to the compositor's acknowledgement of the
// last key (connection included), and the times from each focus check to its key's flush.
// --pause-after N: after N keys, writes "paused" on standard output and waits for a line on
// standard input (the test stops the compositor meanwhile). --offered: exit status 0 when the
// compositor offers virtual keyboards, 1 when not.
//
// Exit status: 0 every typeable scalar typed (and acknowledged by the compositor); 2 usage;
// 3 no virtual keyboard (open() empty); 4 the focus check said no; 5 the keyboard failed
// (compositor gone or not answering).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/display/wayland/virtual_keyboard.h"
#include "text/utf.h"

namespace {

using caretsafe::wayland::KeyOutcome;
using caretsafe::wayland::VirtualKeyboard;

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  bool stats = false;
  long focusFor = -1;
  long pauseAfter = -1;
  const char* text = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--offered") == 0) return VirtualKeyboard::offered() ? 0 : 1;
    if (std::strcmp(argv[i], "--stats") == 0) {
      stats = true;
    } else if (std::strcmp(argv[i], "--pause-after") == 0 && i + 1 < argc) {
      pauseAfter = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--focus-for") == 0 && i + 1 < argc) {
      focusFor = std::strtol(argv[++i], nullptr, 10);
    } else if (text == nullptr) {
      text = argv[i];
    } else {
      return 2;
    }
  }
  if (text == nullptr) return 2;

  const auto started = std::chrono::steady_clock::now();
  auto keyboard = VirtualKeyboard::open();
  if (!keyboard) return 3;

  long checks = 0;
  const auto focusIsTarget = [&] { return focusFor < 0 || checks++ < focusFor; };
  std::vector<double> gapsUs;
  std::size_t untypeable = 0;
  int status = 0;
  const std::string_view bytes(text);
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (pauseAfter >= 0 && static_cast<long>(keyboard->stats().keys) == pauseAfter) {
      pauseAfter = -1;
      // The keys so far are the compositor's before it is stopped: it drops what it has not
      // read when a client goes.
      if (!keyboard->settle()) return 5;
      std::printf("paused\n");
      std::fflush(stdout);
      int c = 0;
      while ((c = std::getchar()) != EOF && c != '\n') {
      }
    }
    const auto seq = caretsafe::text::decodeUtf8(bytes, pos);
    pos += seq.length;
    const KeyOutcome outcome = keyboard->typeScalar(seq.scalar, focusIsTarget);
    if (outcome == KeyOutcome::kTyped) {
      gapsUs.push_back(
          std::chrono::duration<double, std::micro>(keyboard->stats().lastCheckToFlush).count());
    } else if (outcome == KeyOutcome::kUntypeable) {
      ++untypeable;
    } else {
      status = outcome == KeyOutcome::kFocusLost ? 4 : 5;
      break;
    }
  }
  if (status == 0 && !keyboard->settle()) status = 5;
  const double elapsedMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
          .count();
  if (stats) {
    std::printf(
        "{\"keys\":%zu,\"uploads\":%zu,\"untypeable\":%zu,\"elapsed_ms\":%.3f,"
        "\"check_to_flush_us\":{\"median\":%.2f,\"p99\":%.2f,\"max\":%.2f}}\n",
        keyboard->stats().keys, keyboard->stats().uploads, untypeable, elapsedMs,
        percentile(gapsUs, 0.5), percentile(gapsUs, 0.99), percentile(gapsUs, 1.0));
  }
  return status;
}
