// The handles that cross the platform seam, and the platform base of a host without an
// accessibility service: what each primitive answers, and that the core reaches nothing through
// it, even when it is told it is trusted.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "insertion/target.h"
#include "platform/no_service_platform.h"
#include "protocol/dispatcher.h"

namespace caretsafe {
namespace {

using nlohmann::json;

// Records the handle bookkeeping it is asked for.
class BookkeepingPlatform final : public NoServicePlatform {
 public:
  std::vector<std::string> calls;

 protected:
  void retainElement(std::uintptr_t ref) noexcept override {
    calls.push_back("retain " + std::to_string(ref));
  }
  void releaseElement(std::uintptr_t ref) noexcept override {
    calls.push_back("release " + std::to_string(ref));
  }
  void releaseKeyEvent(std::uintptr_t ref) noexcept override {
    calls.push_back("release event " + std::to_string(ref));
  }
};

TEST(PlatformHandles, ANullReferenceGivesAnEmptyHandleThatIsNeverRetainedOrReleased) {
  BookkeepingPlatform platform;
  {
    const Element nothing = Element::adopt(platform, 0);
    EXPECT_FALSE(nothing);
    const Element copy = nothing;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_FALSE(copy);
    KeyEvent noEvent = KeyEvent::adopt(platform, 0);
    EXPECT_FALSE(noEvent);
    const KeyEvent moved = std::move(noEvent);
    EXPECT_FALSE(moved);
  }
  EXPECT_EQ(platform.calls, std::vector<std::string>{});

  {
    const Element element = Element::adopt(platform, 5);
    ASSERT_TRUE(element);
    EXPECT_EQ(element.ref(), 5u);
    const Element copy = element;  // NOLINT(performance-unnecessary-copy-initialization)
    const KeyEvent event = KeyEvent::adopt(platform, 7);
    EXPECT_TRUE(event);
  }
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{"retain 5", "release event 7", "release 5", "release 5"}));
}

TEST(NoServicePlatform, AnswersEveryPrimitiveAsAHostWithoutTheService) {
  NoServicePlatform platform;
  EXPECT_FALSE(platform.isProcessTrusted());
  EXPECT_FALSE(platform.frontmostApplication().has_value());
  EXPECT_FALSE(platform.runningApplication(platform.ownPid()).has_value());
  EXPECT_EQ(platform.ownPid(), ::getpid());
  EXPECT_EQ(platform.parentPid(), ::getppid());

  const Element application = platform.createApplication(platform.ownPid());
  EXPECT_FALSE(application);
  platform.setMessagingTimeout(application, 0.6f);
  const AttributeRead read = platform.copyAttributeValue(application, "AXFocusedUIElement");
  EXPECT_EQ(read.error, kAxErrorCannotComplete);
  EXPECT_TRUE(std::holds_alternative<NoValue>(read.value));
  const SettableAnswer settable = platform.isAttributeSettable(application, "AXSelectedText");
  EXPECT_EQ(settable.error, kAxErrorCannotComplete);
  EXPECT_FALSE(settable.settable);
  EXPECT_EQ(platform.setAttributeValue(application, "AXSelectedText", u"x"),
            kAxErrorCannotComplete);
  EXPECT_FALSE(platform.elementsEqual(application, application));

  EXPECT_EQ(platform.modifierFlags(), 0u);
  KeyEvent event = platform.createKeyboardEvent(0, true);
  EXPECT_FALSE(event);
  platform.setUnicodeString(event, u"a");
  platform.setFlags(event, 0);
  platform.postToPid(platform.ownPid(), event);
}

TEST(NoServicePlatform, TokensAreFreshCanonicalRandomUuids) {
  NoServicePlatform platform;
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = platform.newUuid();
    SCOPED_TRACE(uuid);
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t at = 0; at < uuid.size(); ++at) {
      const bool hyphen = at == 8 || at == 13 || at == 18 || at == 23;
      EXPECT_EQ(hyphen, uuid[at] == '-');
      if (!hyphen) {
        EXPECT_NE(std::string("0123456789ABCDEF").find(uuid[at]), std::string::npos);
      }
    }
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos);
    EXPECT_TRUE(seen.insert(uuid).second);
  }
}

TEST(NoServicePlatform, ClockCountsFromTheReferenceDate) {
  const auto unixSeconds = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  NoServicePlatform platform;
  const double before = unixSeconds();
  const double now = platform.now();
  const double after = unixSeconds();
  EXPECT_GE(now, before - kUnixToReferenceSeconds);
  EXPECT_LE(now, after - kUnixToReferenceSeconds);
}

TEST(NoServicePlatform, EvenTrustedTheCoreFindsNothingToCaptureOrInsertInto) {
  class TrustedPlatform final : public NoServicePlatform {
   public:
    bool isProcessTrusted() override { return true; }
  };
  const json refusedCapture = {{"ok", false}, {"reason", "unsupported-field"}};
  const json noTarget = {{"ok", false}, {"reason", "no-target"}};
  TrustedPlatform trusted;
  TargetSlot target;
  EXPECT_EQ(handle({{"action", "status"}}, trusted, target),
            (json{{"ok", true}, {"trusted", true}}));
  EXPECT_EQ(handle({{"action", "capture"}}, trusted, target), refusedCapture);
  EXPECT_FALSE(target.holding());
  EXPECT_EQ(handle({{"action", "insert"}, {"token", ""}, {"text", "x"}}, trusted, target),
            noTarget);

  NoServicePlatform untrusted;
  EXPECT_EQ(handle({{"action", "status"}}, untrusted, target),
            (json{{"ok", true}, {"trusted", false}}));
  EXPECT_EQ(handle({{"action", "capture"}}, untrusted, target),
            (json{{"ok", false}, {"reason", "permission-required"}}));
}

}  // namespace
}  // namespace caretsafe
