// The platform of a build host without an accessibility service. It answers honestly: the
// process is never trusted, so every action but "clear" and "status" is refused before any
// other primitive is used. The remaining primitives still answer safely (nothing frontmost,
// nothing readable or writable, no events) so that no path can touch anything.

#include <unistd.h>
#include <chrono>
#include <random>

#include "platform/process_platform.h"

namespace caretsafe {
namespace {

class NonePlatform final : public Platform {
 public:
  bool isProcessTrusted() override { return false; }
  std::optional<RunningApp> frontmostApplication() override { return std::nullopt; }
  std::optional<RunningApp> runningApplication(Pid) override { return std::nullopt; }
  Pid ownPid() override { return static_cast<Pid>(::getpid()); }
  std::optional<Pid> parentPid() override { return static_cast<Pid>(::getppid()); }

  Element createApplication(Pid) override { return Element::adopt(*this, 0); }
  void setMessagingTimeout(const Element&, float) override {}
  AttributeRead copyAttributeValue(const Element&, std::string_view) override {
    return {kAxErrorCannotComplete, NoValue{}};
  }
  SettableAnswer isAttributeSettable(const Element&, std::string_view) override {
    return {kAxErrorCannotComplete, false};
  }
  AxError setAttributeValue(const Element&, std::string_view, std::u16string_view) override {
    return kAxErrorCannotComplete;
  }
  bool elementsEqual(const Element&, const Element&) override { return false; }

  std::uint64_t modifierFlags() override { return 0; }
  KeyEvent createKeyboardEvent(std::uint16_t, bool) override { return {}; }
  void setUnicodeString(KeyEvent&, std::u16string_view) override {}
  void setFlags(KeyEvent&, std::uint64_t) override {}
  void postToPid(Pid, const KeyEvent&) override {}

  std::string newUuid() override {
    std::random_device device;
    std::uniform_int_distribution<int> nibble(0, 15);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uuid = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
    for (char& c : uuid) {
      if (c == 'x') c = kHex[nibble(device)];
      if (c == 'y') c = kHex[8 + nibble(device) % 4];
    }
    return uuid;
  }
  double now() override {
    // Seconds from 2001-01-01T00:00:00Z, like the platform's absolute time.
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count() - kUnixToReferenceSeconds;
  }

 protected:
  void retainElement(std::uintptr_t) noexcept override {}
  void releaseElement(std::uintptr_t) noexcept override {}
  void releaseKeyEvent(std::uintptr_t) noexcept override {}
};

}  // namespace

std::unique_ptr<Platform> makeProcessPlatform() {
  return std::make_unique<NonePlatform>();
}

}  // namespace caretsafe
