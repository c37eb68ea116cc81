// JSON text in and out of the simulated desktop.
//
// The desktop file is read by our own strict RFC 8259 reader rather than nlohmann's, because
// a harness needs escapes of unpaired surrogates ("\uD800") to give a field such a value, and
// because the reader must bound nesting (nlohmann's writer, merge patch and copy recurse).
// Strings come out as UTF-8 that may hold lone surrogates (`text::LoneSurrogates::kKeep`).
// Journal lines are written here too: nlohmann's dump throws on a lone surrogate, which the
// journal shows as a \u escape.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace caretsafe::sim {

// The deepest nesting of arrays and objects a desktop may have.
inline constexpr std::size_t kMaxJsonDepth = 256;

// The JSON value of the text, or nothing when it is not exactly one valid JSON value
// (surrounded by optional whitespace; a leading UTF-8 byte-order mark is skipped). Stricter
// than nlohmann where it is lax (a NUL byte anywhere makes the text invalid) and more
// permissive only for escapes of unpaired surrogates, which become lone surrogates in the
// model text. A number too large for a double makes the text invalid; duplicate object
// members: the last one counts. Never throws.
std::optional<nlohmann::json> parseJsonText(std::string_view text) noexcept;

// Whether the value nests arrays and objects no deeper than kMaxJsonDepth (checked without
// recursion, so any value may be given).
bool withinDepth(const nlohmann::json& value);

// Appends a JSON string literal of UTF-16 text: well-formed UTF-8, with control characters,
// quote, backslash and every unpaired surrogate escaped.
void appendJsonString(std::string& out, std::u16string_view units);
// The same for model text (any bytes: what is not well-formed reads as U+FFFD).
void appendJsonModelString(std::string& out, std::string_view text);
// Appends a value compactly; strings as model text, numbers that are not finite as null.
void appendJsonValue(std::string& out, const nlohmann::json& value);

// The shortest decimal that reads back as this float (what the journal shows for it); null
// when it is not finite.
std::string floatText(float value);
// The double nearest to that decimal: 0.6f gives 0.6, not 0.6000000238418579.
double doubleFromFloat(float value);

}  // namespace caretsafe::sim
