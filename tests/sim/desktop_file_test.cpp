// The desktop backed by a file, as caretsafe-sim uses it: reloads when the file is replaced,
// what a reload drops and keeps, and the journal file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_support.h"

namespace caretsafe::sim {
namespace {

using nlohmann::json;
using testing::describe;
using testing::smallDesktop;

using DesktopFile = testing::FileFixture;

Element focusedBody(SimDesktop& sim) {
  const AttributeRead focus =
      sim.copyAttributeValue(sim.createApplication(501), "AXFocusedUIElement");
  const Element* element = std::get_if<Element>(&focus.value);
  return element != nullptr ? *element : Element();
}

TEST_F(DesktopFile, ReplacingTheFileDropsWhatTheDesktopHeldButKeepsHandles) {
  replaceDesktop(smallDesktop().dump());
  const auto sim = SimDesktop::fromFile(desktopPath(), std::nullopt);
  std::vector<double> waits;
  sim->setWait([&](double seconds) { waits.push_back(seconds); });

  const Element body = focusedBody(*sim);
  sim->setMessagingTimeout(body, 0.6f);
  EXPECT_EQ(sim->setAttributeValue(body, "AXSelectedText", u"!"), 0);
  // The file did not change: what the program did stays.
  EXPECT_EQ(describe(sim->copyAttributeValue(body, "AXValue")), "text:Hello!");

  json next = smallDesktop();
  next["clock"] = 800000600.0;
  next["apps"]["501"]["hang"] = true;
  replaceDesktop(next.dump());
  EXPECT_EQ(sim->now(), 800000600.0);  // a read of the clock alone sees the new file
  EXPECT_EQ(sim->attribute("body", "AXValue"), json("Hello"));
  EXPECT_EQ(describe(sim->copyAttributeValue(body, "AXValue")), "error:-25204");
  EXPECT_EQ(waits, std::vector<double>{0.6});
  EXPECT_EQ(sim->liveElementReferences(), 1u);
  EXPECT_TRUE(sim->journal().empty());  // a file-backed desktop keeps no journal in memory
}

TEST_F(DesktopFile, MissingFileIsTheEmptyUntrustedDesktopUntilOneAppears) {
  const auto sim = SimDesktop::fromFile(desktopPath(), std::nullopt);
  EXPECT_FALSE(sim->isProcessTrusted());
  replaceDesktop(smallDesktop().dump());
  EXPECT_TRUE(sim->isProcessTrusted());
  std::filesystem::remove(desktopPath());
  EXPECT_FALSE(sim->isProcessTrusted());

  const auto unset = SimDesktop::fromFile("", std::nullopt);
  EXPECT_FALSE(unset->isProcessTrusted());
  EXPECT_FALSE(unset->frontmostApplication().has_value());
}

TEST_F(DesktopFile, EachLoadRestartsTheCountsAndDropsDeferredChanges) {
  json desktop = smallDesktop();
  desktop["eventCreations"] = 1;
  desktop["elements"]["body"]["onWrite"] = "deferred";
  desktop["schedule"] = {{{"afterOps", 2}, {"patch", {{"trusted", false}}}}};
  replaceDesktop(desktop.dump());
  const auto sim = SimDesktop::fromFile(desktopPath(), std::nullopt);

  EXPECT_TRUE(sim->isProcessTrusted());
  EXPECT_TRUE(sim->isProcessTrusted());
  EXPECT_FALSE(sim->isProcessTrusted());
  EXPECT_TRUE(sim->createKeyboardEvent(0, true));
  EXPECT_FALSE(sim->createKeyboardEvent(0, true));
  const Element body = focusedBody(*sim);
  EXPECT_EQ(sim->setAttributeValue(body, "AXSelectedText", u"!"), 0);

  replaceDesktop(desktop.dump());        // the same text, a new file: loaded afresh
  EXPECT_TRUE(sim->isProcessTrusted());  // the load happens during this op: it is the first
  EXPECT_TRUE(sim->isProcessTrusted());
  EXPECT_FALSE(sim->isProcessTrusted());
  EXPECT_TRUE(sim->createKeyboardEvent(0, true));
  EXPECT_EQ(describe(sim->copyAttributeValue(body, "AXValue")), "text:Hello");
  EXPECT_EQ(sim->attribute("body", "AXValue"), json("Hello"));
}

TEST_F(DesktopFile, JournalLinesAreAppendedOneAtATime) {
  std::ofstream(journalPath()) << "kept\n";
  replaceDesktop(smallDesktop().dump());
  const auto sim = SimDesktop::fromFile(desktopPath(), journalPath());
  sim->isProcessTrusted();
  EXPECT_EQ(journalLines(),
            (std::vector<std::string>{"kept", R"({"op":"isProcessTrusted","result":true})"}));
  sim->frontmostApplication();
  EXPECT_EQ(journalLines().back(), R"({"op":"frontmostApplication","result":501})");

  // A harness truncates the journal itself; later lines land at the new end.
  std::filesystem::resize_file(journalPath(), 0);
  sim->modifierFlags();
  EXPECT_EQ(journalLines(), std::vector<std::string>{R"({"op":"flagsState","result":0})"});
}

TEST_F(DesktopFile, LoneSurrogatesGoFromTheFileToTheJournal) {
  replaceDesktop(R"({"frontmost": 501, "apps": {"501": {"attributes": {}}},
    "elements": {"f": {"app": 501, "attributes": {"AXValue": "a\uD800",
                                                   "AXSelectedTextRange": {"range": [2, 0]}}}}})");
  const auto sim = SimDesktop::fromFile(desktopPath(), journalPath());
  sim->patch({{"apps", {{"501", {{"attributes", {{"AXFocusedUIElement", {{"element", "f"}}}}}}}}}});
  const Element field = focusedBody(*sim);
  EXPECT_EQ(describe(sim->copyAttributeValue(field, "AXValue")), "text:a<d800>");
  EXPECT_EQ(sim->setAttributeValue(field, "AXSelectedText", u"\xDC00"), 0);
  // Joined, the two halves are one character now.
  EXPECT_EQ(journalLines().back(),
            "{\"op\":\"setAttributeValue\",\"element\":\"f\",\"attribute\":\"AXSelectedText\","
            "\"value\":\"\\udc00\",\"error\":0,\"fieldValue\":\"a\xF0\x90\x80\x80\"}");
  EXPECT_EQ(describe(sim->copyAttributeValue(field, "AXValue")), "text:a<d800><dc00>");
  EXPECT_EQ(sim->attribute("f", "AXValue"), json("a\xF0\x90\x80\x80"));
}

}  // namespace
}  // namespace caretsafe::sim
