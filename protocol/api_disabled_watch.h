// A platform that forwards every call to another and notes whether any accessibility request
// answered kAXErrorAPIDisabled.
//
// After the helper (or the host it counts as) is re-signed or updated, the permission check
// may still answer yes while every accessibility request answers that code: the permission is
// there in name only. Seen through the other failure codes, a capture would be refused as an
// unsupported field and an insert as a changed target, and the host would never learn that
// the user has to grant the permission again. The dispatcher runs each action through this
// watch and answers such a request as the permission gate does.
#pragma once

#include "platform/platform.h"

namespace caretsafe {

// The accessibility API is disabled for this process (kAXErrorAPIDisabled).
inline constexpr AxError kAxErrorApiDisabled = -25211;

class ApiDisabledWatch final : public Platform {
 public:
  explicit ApiDisabledWatch(Platform& platform) : platform_(platform) {}

  // Whether a request through this watch has answered kAXErrorAPIDisabled.
  bool apiDisabled() const { return disabled_; }

  bool isProcessTrusted() override { return platform_.isProcessTrusted(); }
  std::optional<RunningApp> frontmostApplication() override {
    return platform_.frontmostApplication();
  }
  std::optional<RunningApp> runningApplication(Pid pid) override {
    return platform_.runningApplication(pid);
  }
  Pid ownPid() override { return platform_.ownPid(); }
  std::optional<Pid> parentPid() override { return platform_.parentPid(); }

  Element createApplication(Pid pid) override { return platform_.createApplication(pid); }
  void setMessagingTimeout(const Element& element, float seconds) override {
    platform_.setMessagingTimeout(element, seconds);
  }
  AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override {
    AttributeRead read = platform_.copyAttributeValue(element, attribute);
    note(read.error);
    return read;
  }
  SettableAnswer isAttributeSettable(const Element& element, std::string_view attribute) override {
    const SettableAnswer answer = platform_.isAttributeSettable(element, attribute);
    note(answer.error);
    return answer;
  }
  AxError setAttributeValue(const Element& element, std::string_view attribute,
                            std::u16string_view text) override {
    return note(platform_.setAttributeValue(element, attribute, text));
  }
  bool elementsEqual(const Element& a, const Element& b) override {
    return platform_.elementsEqual(a, b);
  }
  bool typedOnly(const Element& element) override { return platform_.typedOnly(element); }
  bool typesAstral(const Element& field) override { return platform_.typesAstral(field); }
  AxError setFlagAttribute(const Element& element, std::string_view attribute,
                           bool value) override {
    return note(platform_.setFlagAttribute(element, attribute, value));
  }
  bool builtOnElectron(Pid pid) override { return platform_.builtOnElectron(pid); }
  WebEngine webEngine(Pid pid) override { return platform_.webEngine(pid); }

  bool secureEventInput() override { return platform_.secureEventInput(); }
  std::uint64_t modifierFlags() override { return platform_.modifierFlags(); }
  KeyEvent createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) override {
    return platform_.createKeyboardEvent(virtualKey, keyDown);
  }
  void setUnicodeString(KeyEvent& event, std::u16string_view units) override {
    platform_.setUnicodeString(event, units);
  }
  void setFlags(KeyEvent& event, std::uint64_t flags) override { platform_.setFlags(event, flags); }
  bool postToPid(Pid pid, const KeyEvent& event) override {
    return platform_.postToPid(pid, event);
  }

  std::string newUuid() override { return platform_.newUuid(); }
  double now() override { return platform_.now(); }
  void pause(double seconds) override { platform_.pause(seconds); }
  std::uintptr_t openReleasePool() override { return platform_.openReleasePool(); }
  void closeReleasePool(std::uintptr_t pool) override { platform_.closeReleasePool(pool); }

 protected:
  // Every handle and event is made by the wrapped platform and bound to it, so its retains and
  // releases go there directly and never reach the watch.
  void retainElement(std::uintptr_t) noexcept override {}
  void releaseElement(std::uintptr_t) noexcept override {}
  void releaseKeyEvent(std::uintptr_t) noexcept override {}

 private:
  AxError note(AxError error) {
    if (error == kAxErrorApiDisabled) disabled_ = true;
    return error;
  }

  Platform& platform_;
  bool disabled_ = false;
};

}  // namespace caretsafe
