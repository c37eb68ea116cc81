// A platform as a host without an accessibility service has it. The process is never trusted;
// no application is frontmost or running; no element or keyboard event can be made; every
// accessibility request fails with kAxErrorCannotComplete and every event primitive does
// nothing. Only what any host has is real: its own and its parent's pid, fresh UUIDs and the
// wall clock.
//
// It is the whole "none" adapter, and the base of the platforms that tests and benchmarks make:
// such a platform overrides only the primitives it gives meaning to and inherits a safe answer
// for every other. A subclass that hands out handles of its own overrides the handle
// bookkeeping too when it needs to count them; here it does nothing.
#pragma once

#include "platform/platform.h"

namespace caretsafe {

class NoServicePlatform : public Platform {
 public:
  bool isProcessTrusted() override { return false; }

  std::optional<RunningApp> frontmostApplication() override { return std::nullopt; }
  std::optional<RunningApp> runningApplication(Pid) override { return std::nullopt; }
  // This process's pid and its parent's, as the system reports them.
  Pid ownPid() override;
  std::optional<Pid> parentPid() override;

  Element createApplication(Pid) override { return {}; }
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
  bool typedOnly(const Element&) override { return false; }
  bool typesAstral(const Element&) override { return true; }
  AxError setFlagAttribute(const Element&, std::string_view, bool) override {
    return kAxErrorCannotComplete;
  }
  bool builtOnElectron(Pid) override { return false; }
  WebEngine webEngine(Pid) override { return WebEngine::kNone; }

  bool secureEventInput() override { return false; }
  std::uint64_t modifierFlags() override { return 0; }
  KeyEvent createKeyboardEvent(std::uint16_t, bool) override { return {}; }
  void setUnicodeString(KeyEvent&, std::u16string_view) override {}
  void setFlags(KeyEvent&, std::uint64_t) override {}
  bool postToPid(Pid, const KeyEvent&) override { return false; }

  // A version 4 (random) UUID from the system's random source.
  std::string newUuid() override;
  // The system clock, moved to the platform's reference date.
  double now() override;
  // A real sleep of the calling thread.
  void pause(double seconds) override;

 protected:
  void retainElement(std::uintptr_t) noexcept override {}
  void releaseElement(std::uintptr_t) noexcept override {}
  void releaseKeyEvent(std::uintptr_t) noexcept override {}
};

}  // namespace caretsafe
