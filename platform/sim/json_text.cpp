#include "platform/sim/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "text/utf.h"

// macOS runtimes before 13.3 have no floating-point to_chars; the universal build targets 11.
#if defined(__ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__) && \
    __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__ < 130300
#define CARETSAFE_SIM_NO_FLOAT_TO_CHARS 1
#else
#define CARETSAFE_SIM_NO_FLOAT_TO_CHARS 0
#endif

namespace caretsafe::sim {
namespace {

using nlohmann::json;

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::optional<json> document() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    json result;
    skipSpace();
    if (!value(result, 0)) return std::nullopt;
    skipSpace();
    if (pos_ != s_.size()) return std::nullopt;
    return result;
  }

 private:
  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return s_[pos_]; }

  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool value(json& out, std::size_t depth) {
    if (atEnd()) return false;
    switch (peek()) {
      case '{':
        return object(out, depth + 1);
      case '[':
        return array(out, depth + 1);
      case '"': {
        std::string text;
        if (!string(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't':
        out = true;
        return literal("true");
      case 'f':
        out = false;
        return literal("false");
      case 'n':
        out = nullptr;
        return literal("null");
      default:
        return number(out);
    }
  }

  bool object(json& out, std::size_t depth) {
    if (depth > kMaxJsonDepth) return false;
    ++pos_;
    out = json::object();
    skipSpace();
    if (!atEnd() && peek() == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      skipSpace();
      std::string key;
      if (atEnd() || peek() != '"' || !string(key)) return false;
      skipSpace();
      if (atEnd() || peek() != ':') return false;
      ++pos_;
      skipSpace();
      json member;
      if (!value(member, depth)) return false;
      out[key] = std::move(member);  // a repeated name: the last one counts
      skipSpace();
      if (atEnd()) return false;
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  bool array(json& out, std::size_t depth) {
    if (depth > kMaxJsonDepth) return false;
    ++pos_;
    out = json::array();
    skipSpace();
    if (!atEnd() && peek() == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      skipSpace();
      json element;
      if (!value(element, depth)) return false;
      out.push_back(std::move(element));
      skipSpace();
      if (atEnd()) return false;
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  std::optional<char16_t> hexUnit() {
    const std::optional<char16_t> unit = text::hexUnit(s_.substr(pos_, 4));
    if (unit) pos_ += 4;
    return unit;
  }

  bool string(std::string& out) {
    ++pos_;  // the opening quote
    while (true) {
      if (atEnd()) return false;
      const auto c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;  // raw control characters (NUL among them) are not JSON
      if (c < 0x80) {
        if (c == '\\') {
          if (!escape(out)) return false;
        } else {
          out.push_back(static_cast<char>(c));
          ++pos_;
        }
        continue;
      }
      // Raw bytes must be real UTF-8: surrogates reach the model only through escapes.
      const text::Utf8Sequence sequence = text::decodeUtf8(s_, pos_);
      if (!sequence.valid) return false;
      out.append(s_.substr(pos_, sequence.length));
      pos_ += sequence.length;
    }
  }

  bool escape(std::string& out) {
    ++pos_;
    if (atEnd()) return false;
    const char c = s_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out.push_back(c);
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    const auto unit = hexUnit();
    if (!unit) return false;
    if (text::isHighSurrogate(*unit) && s_.substr(pos_, 2) == "\\u") {
      const std::size_t mark = pos_;
      pos_ += 2;
      const auto low = hexUnit();
      if (low && text::isLowSurrogate(*low)) {
        text::appendUtf8(out, text::combineSurrogates(*unit, *low));
        return true;
      }
      pos_ = mark;  // not a pair: the next escape is read on its own
    }
    text::appendUtf8(out, *unit);
    return true;
  }

  bool digits() {
    const std::size_t start = pos_;
    while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
    return pos_ > start;
  }

  bool number(json& out) {
    const std::size_t start = pos_;
    if (!atEnd() && peek() == '-') ++pos_;
    if (atEnd()) return false;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (!atEnd() && peek() == '.') {
      ++pos_;
      if (!digits()) return false;
      integral = false;
    }
    if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!atEnd() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digits()) return false;
      integral = false;
    }
    const std::string_view token = s_.substr(start, pos_ - start);
    if (integral) {
      std::int64_t signedValue = 0;
      auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), signedValue);
      if (ec == std::errc() && end == token.data() + token.size()) {
        out = signedValue;
        return true;
      }
      std::uint64_t unsignedValue = 0;
      auto [uend, uec] = std::from_chars(token.data(), token.data() + token.size(), unsignedValue);
      if (uec == std::errc() && uend == token.data() + token.size()) {
        out = unsignedValue;
        return true;
      }
    }
    // The grammar is checked; nlohmann converts the token the way the rest of the program
    // reads numbers (an overflow is an error, an underflow reads as zero).
    json converted = json::parse(token.begin(), token.end(), nullptr, false);
    if (!converted.is_number()) return false;
    out = converted.get<double>();
    return true;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

constexpr char kHexDigits[] = "0123456789abcdef";

void appendEscapedUnit(std::string& out, char16_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHexDigits[(unit >> shift) & 0xF]);
}

void appendValue(std::string& out, const json& value, std::size_t depth) {
  switch (value.type()) {
    case json::value_t::string:
      appendJsonModelString(out, value.get_ref<const std::string&>());
      return;
    case json::value_t::array: {
      if (depth > kMaxJsonDepth) break;
      out.push_back('[');
      bool first = true;
      for (const json& element : value) {
        if (!first) out.push_back(',');
        first = false;
        appendValue(out, element, depth + 1);
      }
      out.push_back(']');
      return;
    }
    case json::value_t::object: {
      if (depth > kMaxJsonDepth) break;
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonModelString(out, key);
        out.push_back(':');
        appendValue(out, member, depth + 1);
      }
      out.push_back('}');
      return;
    }
    case json::value_t::boolean:
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      out += value.dump();  // a number that is not finite dumps as null
      return;
    default:
      break;
  }
  out += "null";
}

}  // namespace

std::optional<json> parseJsonText(std::string_view text) noexcept {
  try {
    return Parser(text).document();
  } catch (...) {
    return std::nullopt;  // only running out of memory gets here
  }
}

bool withinDepth(const json& value) {
  std::vector<std::pair<const json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth + 1 > kMaxJsonDepth) return false;
    for (const json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return true;
}

void appendJsonString(std::string& out, std::u16string_view units) {
  out.push_back('"');
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u == '"' || u == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(u));
    } else if (u < 0x20) {
      switch (u) {
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          appendEscapedUnit(out, u);
      }
    } else if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (text::isHighSurrogate(u) && i + 1 < units.size() &&
               text::isLowSurrogate(units[i + 1])) {
      text::appendUtf8(out, text::combineSurrogates(u, units[i + 1]));
      ++i;
    } else if (text::isSurrogate(u)) {
      appendEscapedUnit(out, u);
    } else {
      text::appendUtf8(out, u);
    }
  }
  out.push_back('"');
}

void appendJsonModelString(std::string& out, std::string_view text) {
  appendJsonString(out, text::utf16FromUtf8(text, text::LoneSurrogates::kKeep));
}

void appendJsonValue(std::string& out, const json& value) {
  appendValue(out, value, 0);
}

std::string floatText(float value) {
  if (!std::isfinite(value)) return "null";
#if CARETSAFE_SIM_NO_FLOAT_TO_CHARS
  // The shortest %g that reads back as the float: what to_chars gives, up to spelling.
  for (int precision = 1; precision <= 9; ++precision) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
    if (std::strtof(buffer, nullptr) == value) return buffer;
  }
  return "null";
#else
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return "null";
  return std::string(buffer, end);
#endif
}

double doubleFromFloat(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  const std::string decimal = floatText(value);
  const json parsed = json::parse(decimal, nullptr, false);
  return parsed.is_number() ? parsed.get<double>() : static_cast<double>(value);
}

}  // namespace caretsafe::sim
