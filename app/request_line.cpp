#include "app/request_line.h"

#include <cstring>

#include "text/utf.h"

namespace caretsafe {
namespace {

// The code unit of the \uXXXX escape that starts at `pos` (the backslash), if there is a
// well-formed one.
std::optional<char16_t> escapedUnit(std::string_view text, std::size_t pos) {
  if (pos + 6 > text.size() || text[pos] != '\\' || text[pos + 1] != 'u') return std::nullopt;
  return text::hexUnit(text.substr(pos + 2, 4));
}

}  // namespace

JsonPrepass prepareJson(std::string& text) {
  JsonPrepass result;
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!inString) {
      if (c == '"') {
        inString = true;
      } else if (c == '[' || c == '{') {
        if (++depth > result.maxDepth) result.maxDepth = depth;
      } else if ((c == ']' || c == '}') && depth > 0) {
        --depth;
      }
      continue;
    }
    if (c == '"') {
      inString = false;
    } else if (c == '\\' && i + 1 < text.size()) {
      const std::optional<char16_t> unit = escapedUnit(text, i);
      if (!unit) {
        ++i;  // skip the escaped character, whatever it is
        continue;
      }
      if (text::isHighSurrogate(*unit)) {
        const std::optional<char16_t> next = escapedUnit(text, i + 6);
        if (next && text::isLowSurrogate(*next)) {
          i += 11;  // a well-formed pair
          continue;
        }
      }
      if (text::isSurrogate(*unit)) text.replace(i + 2, 4, "FFFD");
      i += 5;
    }
  }
  return result;
}

std::optional<nlohmann::json> decodeRequest(std::string_view lineText) {
  if (lineText.size() > kMaxRequestBytes) return std::nullopt;
  if (std::memchr(lineText.data(), '\0', lineText.size()) != nullptr) return std::nullopt;
  std::string text(lineText);
  if (prepareJson(text).maxDepth > kMaxNestingDepth) return std::nullopt;
  // Without exceptions: an error gives a discarded value. Comments are not JSON.
  nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                               /*ignore_comments=*/false);
  if (!value.is_object()) return std::nullopt;
  return value;
}

}  // namespace caretsafe
