#include "platform/no_service_platform.h"

#include <unistd.h>

#include <chrono>
#include <random>

#include "platform/sleep.h"

namespace caretsafe {

Pid NoServicePlatform::ownPid() {
  return static_cast<Pid>(::getpid());
}

std::optional<Pid> NoServicePlatform::parentPid() {
  return static_cast<Pid>(::getppid());
}

std::string NoServicePlatform::newUuid() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  static constexpr char kHex[] = "0123456789ABCDEF";
  // The version digit is 4, and the variant digit one of 8, 9, A and B.
  std::string uuid = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  for (char& c : uuid) {
    if (c == 'x') c = kHex[nibble(device)];
    if (c == 'y') c = kHex[8 + nibble(device) % 4];
  }
  return uuid;
}

double NoServicePlatform::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
}

void NoServicePlatform::pause(double seconds) {
  sleepSeconds(seconds);
}

}  // namespace caretsafe
