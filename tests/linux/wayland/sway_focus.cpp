// caretsafe-sway-focus: the compositor's focused window as the IPC client sees it, one JSON
// line on standard output, for the real-desktop tests and for measuring a query.
//
//   caretsafe-sway-focus             {"con_id":…,"pid":…|null,"app_id":…,"xwayland":…,"focused":…}
//                                    or {"window":null}
//   caretsafe-sway-focus --repeat N  N queries over one connection; the last answer, with
//                                    "query_us" (the median, fastest and slowest query)

#include "platform/linux/display/wayland/sway_ipc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

int main(int argc, char** argv) {
  long repeat = 1;
  if (argc == 3 && std::strcmp(argv[1], "--repeat") == 0) {
    repeat = std::strtol(argv[2], nullptr, 10);
  } else if (argc != 1) {
    std::fputs("usage: caretsafe-sway-focus [--repeat N]\n", stderr);
    return 2;
  }
  if (repeat < 1) return 2;

  auto ipc = caretsafe::wayland::SwayIpc::fromEnvironment();
  std::optional<caretsafe::wayland::FocusedWindow> window;
  std::vector<double> micros;
  for (long i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    window = ipc.focusedWindow();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }

  nlohmann::json out;
  if (window) {
    out = {{"con_id", window->conId},
           {"app_id", window->appId},
           {"xwayland", window->xwayland},
           {"focused", window->focused}};
    out["pid"] = window->pid ? nlohmann::json(*window->pid) : nlohmann::json(nullptr);
  } else {
    out = {{"window", nullptr}};
  }
  if (repeat > 1) {
    std::sort(micros.begin(), micros.end());
    out["query_us"] = {{"median", micros[micros.size() / 2]},
                       {"fastest", micros.front()},
                       {"slowest", micros.back()}};
  }
  std::puts(out.dump().c_str());
  return 0;
}
