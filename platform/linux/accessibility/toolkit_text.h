// Text offsets and lengths as each toolkit counts them over AT-SPI, and their conversion to
// the UTF-16 code units the core counts in.
//
// AT-SPI carries text as UTF-8, but offsets and lengths are in the toolkit's own unit: GTK
// (3 and 4) counts code points, Qt counts UTF-16 code units. InsertText's length argument is
// UTF-8 bytes for GTK and UTF-16 units for Qt. A toolkit whose units are not known here gets
// no text reads or writes at all: a wrong guess would misplace a caret or cut an insert short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caretsafe::linux_desktop {

enum class TextUnits {
  kCodePoints,  // GTK, Chromium
  kUtf16,       // Qt
  // Firefox: UTF-16 units, and its text has one character per unit: each character above
  // U+FFFF is followed by a U+FEFF standing for its second unit.
  kUtf16Filled,
};

// The units of the toolkit with this name (as an application reports it, in any letter case);
// nothing for a toolkit not known here.
std::optional<TextUnits> toolkitUnits(std::string_view toolkitName);

// Whether an EditableText write reaches the toolkit's fields. Firefox's answers success and
// changes nothing (measured: InsertText and SetTextContents both), so its fields take keys only.
bool toolkitWriteTakes(std::string_view toolkitName);

// The field's text from the text the toolkit answered: Firefox's filler after each character
// above U+FFFF is dropped; any other toolkit's text is the field's text.
std::string fieldText(TextUnits units, std::string_view utf8);

// Whether the toolkit is a browser engine's (Chromium, Gecko): its page's editable elements and
// inputs with suggestions come as sections and combo boxes.
bool webToolkit(std::string_view toolkitName);

// Whether the toolkit is Chromium's (Chromium, its browsers and every Electron application).
bool toolkitIsChromium(std::string_view toolkitName);

// Whether the toolkit may show its focus in the browser's own window (the address bar), or on
// the page's document, for a while after a field in the page has taken it: Gecko, measured right
// after Firefox started, and Chromium, whose document stayed focused for up to 0.3 s after
// its field had the focus (3 first captures of 10 on a loaded machine).
bool toolkitShowsPageFocusLate(std::string_view toolkitName);

// Whether the toolkit builds its accessibles only once a client reads them (Chromium, and so
// every Electron application: until then its page shows no accessible at all).
bool toolkitBuildsTreeOnDemand(std::string_view toolkitName);

// The length of well-formed UTF-8 text, as the toolkit answered it, in the toolkit's units.
std::size_t unitCount(TextUnits units, std::string_view utf8);

// The UTF-16 offset that the toolkit's offset `offset` stands for in the UTF-8 text, which
// must reach at least that far; nothing when it does not, or when the offset is negative.
std::optional<std::int64_t> utf16Offset(TextUnits units, std::string_view utf8,
                                        std::int64_t offset);

// InsertText's length argument for a text: its UTF-8 bytes for GTK, its UTF-16 units for Qt.
std::int64_t insertLength(TextUnits units, std::string_view utf8, std::u16string_view utf16);

}  // namespace caretsafe::linux_desktop
