#include "platform/linux/accessibility/toolkit_text.h"

#include <algorithm>
#include <cctype>

namespace caretsafe::linux_desktop {
namespace {

bool isContinuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// A lead byte of a four-byte sequence: a scalar above U+FFFF, two UTF-16 units.
bool isAstralLead(char byte) {
  return static_cast<unsigned char>(byte) >= 0xF0u;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::optional<TextUnits> toolkitUnits(std::string_view toolkitName) {
  // GTK 3 answers "gtk", GTK 4 "GTK", Qt 5 and 6 "Qt".
  if (equalsIgnoringCase(toolkitName, "gtk")) return TextUnits::kCodePoints;
  if (equalsIgnoringCase(toolkitName, "qt")) return TextUnits::kUtf16;
  // Chromium, and every Electron application with it, counts code points (measured: "a😀b c"
  // has 5 characters).
  if (equalsIgnoringCase(toolkitName, "chromium")) return TextUnits::kCodePoints;
  // Firefox (measured: "a😀b c" reads "a😀\uFEFFb c", 6 characters, the caret after "b" at 4).
  if (equalsIgnoringCase(toolkitName, "gecko")) return TextUnits::kUtf16Filled;
  return std::nullopt;
}

bool toolkitWriteTakes(std::string_view toolkitName) {
  return !equalsIgnoringCase(toolkitName, "gecko");
}

std::string fieldText(TextUnits units, std::string_view utf8) {
  if (units != TextUnits::kUtf16Filled) return std::string(utf8);
  static constexpr std::string_view kFiller = "\xEF\xBB\xBF";  // U+FEFF
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t length = 1;
    while (i + length < utf8.size() && isContinuation(utf8[i + length])) ++length;
    out.append(utf8.substr(i, length));
    const bool astral = isAstralLead(utf8[i]);
    i += length;
    if (astral && utf8.substr(i, kFiller.size()) == kFiller) i += kFiller.size();
  }
  return out;
}

bool webToolkit(std::string_view toolkitName) {
  return equalsIgnoringCase(toolkitName, "chromium") || equalsIgnoringCase(toolkitName, "gecko");
}

bool toolkitIsChromium(std::string_view toolkitName) {
  return equalsIgnoringCase(toolkitName, "chromium");
}

bool toolkitShowsPageFocusLate(std::string_view toolkitName) {
  return equalsIgnoringCase(toolkitName, "gecko") || toolkitIsChromium(toolkitName);
}

bool toolkitBuildsTreeOnDemand(std::string_view toolkitName) {
  return toolkitIsChromium(toolkitName);
}

std::size_t unitCount(TextUnits units, std::string_view utf8) {
  std::size_t count = 0;
  for (const char byte : utf8) {
    if (isContinuation(byte)) continue;
    // Firefox's text already has one character per unit.
    count += units == TextUnits::kUtf16 && isAstralLead(byte) ? 2u : 1u;
  }
  return count;
}

std::optional<std::int64_t> utf16Offset(TextUnits units, std::string_view utf8,
                                        std::int64_t offset) {
  if (offset < 0) return std::nullopt;
  // Firefox's offsets are UTF-16 units already; its filler counts as the second unit.
  if (units == TextUnits::kUtf16Filled)
    return offset <= static_cast<std::int64_t>(unitCount(units, utf8)) ? std::optional(offset)
                                                                       : std::nullopt;
  std::int64_t toolkit = 0;
  std::int64_t utf16 = 0;
  for (std::size_t i = 0; i < utf8.size() && toolkit < offset; ++i) {
    if (isContinuation(utf8[i])) continue;
    const std::int64_t width = isAstralLead(utf8[i]) ? 2 : 1;
    toolkit += units == TextUnits::kUtf16 ? width : 1;
    utf16 += width;
  }
  // Short text, or a UTF-16 offset inside a surrogate pair: no character boundary there.
  if (toolkit != offset) return std::nullopt;
  return utf16;
}

std::int64_t insertLength(TextUnits units, std::string_view utf8, std::u16string_view utf16) {
  return static_cast<std::int64_t>(units == TextUnits::kCodePoints ? utf8.size() : utf16.size());
}

}  // namespace caretsafe::linux_desktop
