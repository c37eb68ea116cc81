#include "app/request_line.h"

#include <cstring>

#include "text/utf.h"

namespace caretsafe {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the \uXXXX escape that starts at `pos` (the backslash), or -1 when there
// is no well-formed one.
long escapedUnit(const std::string& text, std::size_t pos) {
  if (pos + 6 > text.size() || text[pos] != '\\' || text[pos + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t i = pos + 2; i < pos + 6; ++i) {
    const int h = hexValue(text[i]);
    if (h < 0) return -1;
    unit = unit * 16 + h;
  }
  return unit;
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
      const long unit = escapedUnit(text, i);
      if (unit < 0) {
        ++i;  // skip the escaped character, whatever it is
        continue;
      }
      if (text::isHighSurrogate(static_cast<char32_t>(unit))) {
        const long next = escapedUnit(text, i + 6);
        if (next >= 0 && text::isLowSurrogate(static_cast<char32_t>(next))) {
          i += 11;  // a well-formed pair
          continue;
        }
      }
      if (text::isSurrogate(static_cast<char32_t>(unit))) text.replace(i + 2, 4, "FFFD");
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
