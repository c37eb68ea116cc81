// caretsafe's request loop over the Linux adapter, reporting after every answer what only the
// adapter knows: the element references outstanding and the AT-SPI requests it made for that
// line. The end-to-end tests use it to see that handles are released and that a password
// field's text is never asked for.
//
// For every request line: the answer line, then {"live":N,"requests":[[method,bus,path],…]}.

#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/linux/linux_platform.h"

int main() {
  caretsafe::linux_desktop::LinuxPlatform platform;
  nlohmann::json requests = nlohmann::json::array();
  platform.observeRequests(
      [&requests](std::string_view method, std::string_view bus, std::string_view path) {
        requests.push_back({method, bus, path});
      });
  {
    caretsafe::TargetSlot target;
    for (std::string line; std::getline(std::cin, line);) {
      requests = nlohmann::json::array();
      std::optional<std::string> answer;
      {
        caretsafe::ReleasePoolScope pool(platform);
        answer = caretsafe::answerLine(line, platform, target);
      }
      std::cout << answer.value_or("null") << '\n'
                << nlohmann::json{{"live", platform.liveElementReferences()},
                                  {"requests", requests}}
                       .dump()
                << std::endl;
    }
  }
  // The slot is gone: nothing may be left.
  std::cout << nlohmann::json{{"live", platform.liveElementReferences()}}.dump() << std::endl;
  return 0;
}
