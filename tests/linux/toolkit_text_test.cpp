// Offsets and lengths in each toolkit's units, against the UTF-16 units the core counts in.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/linux/accessibility/toolkit_text.h"

namespace caretsafe::linux_desktop {
namespace {

// "a😀b é" : code points a, U+1F600, b, space, U+00E9 (UTF-16 units: 1, 2, 1, 1, 1).
const std::string kMixed =
    "a\xF0\x9F\x98\x80"
    "b \xC3\xA9";

TEST(ToolkitText, KnownToolkitsOnly) {
  EXPECT_EQ(toolkitUnits("gtk"), TextUnits::kCodePoints);  // GTK 3
  EXPECT_EQ(toolkitUnits("GTK"), TextUnits::kCodePoints);  // GTK 4
  EXPECT_EQ(toolkitUnits("Qt"), TextUnits::kUtf16);
  EXPECT_EQ(toolkitUnits("Chromium"), TextUnits::kCodePoints);  // and Electron applications
  EXPECT_EQ(toolkitUnits("Gecko"), TextUnits::kUtf16Filled);    // Firefox
  for (const char* other : {"", "VCL", "java", "gtk4", "Qt6"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(toolkitUnits(other), std::nullopt);
  }
}

TEST(ToolkitText, LengthsInEachUnit) {
  EXPECT_EQ(unitCount(TextUnits::kCodePoints, kMixed), 5u);
  EXPECT_EQ(unitCount(TextUnits::kUtf16, kMixed), 6u);
  EXPECT_EQ(unitCount(TextUnits::kCodePoints, ""), 0u);
  EXPECT_EQ(insertLength(TextUnits::kCodePoints, kMixed, u"a\U0001F600b \u00E9"), 9);  // bytes
  EXPECT_EQ(insertLength(TextUnits::kUtf16, kMixed, u"a\U0001F600b \u00E9"), 6);
}

TEST(ToolkitText, OffsetsBecomeUtf16Units) {
  struct Row {
    TextUnits units;
    std::int64_t offset;
    std::optional<std::int64_t> utf16;
  };
  const Row rows[] = {
      {TextUnits::kCodePoints, 0, 0},
      {TextUnits::kCodePoints, 1, 1},             // before the emoji
      {TextUnits::kCodePoints, 2, 3},             // after it: GTK's 2 is the core's 3
      {TextUnits::kCodePoints, 3, 4},             // after "b"
      {TextUnits::kCodePoints, 5, 6},             // the end
      {TextUnits::kCodePoints, 6, std::nullopt},  // past the end
      {TextUnits::kCodePoints, -1, std::nullopt},
      {TextUnits::kUtf16, 2, std::nullopt},  // inside the surrogate pair: no boundary
      {TextUnits::kUtf16, 3, 3},
      {TextUnits::kUtf16, 4, 4},
      {TextUnits::kUtf16, 6, 6},
      {TextUnits::kUtf16, 7, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offset);
    EXPECT_EQ(utf16Offset(row.units, kMixed, row.offset), row.utf16);
  }
}

// Firefox answers one character per UTF-16 unit: a U+FEFF follows each character above U+FFFF.
// Only that filler is dropped; a U+FEFF of the field's own stays, also right after the filler.
TEST(ToolkitText, FirefoxText) {
  const std::string feff = "\xEF\xBB\xBF";
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::string filled = "a" + emoji + feff + "b \xC3\xA9";
  EXPECT_EQ(unitCount(TextUnits::kUtf16Filled, filled), 6u);
  EXPECT_EQ(fieldText(TextUnits::kUtf16Filled, filled), kMixed);
  EXPECT_EQ(fieldText(TextUnits::kUtf16Filled, emoji + feff + feff), emoji + feff);
  EXPECT_EQ(fieldText(TextUnits::kUtf16Filled, feff + "a" + feff), feff + "a" + feff);
  EXPECT_EQ(fieldText(TextUnits::kUtf16Filled, emoji + feff + emoji + feff), emoji + emoji);
  EXPECT_EQ(fieldText(TextUnits::kCodePoints, emoji + feff), emoji + feff);  // GTK's is its own
  EXPECT_EQ(utf16Offset(TextUnits::kUtf16Filled, filled, 4), 4);
  EXPECT_EQ(utf16Offset(TextUnits::kUtf16Filled, filled, 7), std::nullopt);
  EXPECT_FALSE(toolkitWriteTakes("Gecko"));
  for (const char* name : {"gtk", "GTK", "Qt", "Chromium"}) EXPECT_TRUE(toolkitWriteTakes(name));
}

}  // namespace
}  // namespace caretsafe::linux_desktop
