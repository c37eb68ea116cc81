// Decoding a line text into a request object, at the edges where a JSON library alone is
// not enough.

#include <gtest/gtest.h>

#include <string>

#include "app/request_line.h"

namespace caretsafe {
namespace {

using namespace std::string_literals;

std::string nested(std::size_t depth) {
  // An object whose "requestId" holds arrays, `depth` levels in all.
  return "{\"requestId\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

TEST(DecodeRequest, AcceptsOnlyAnObject) {
  struct Row {
    const char* name;
    std::string line;
    bool object;
  };
  const Row rows[] = {
      {.name = "empty", .line = "", .object = false},
      {.name = "blank", .line = "   \t ", .object = false},
      {.name = "array", .line = "[1,2]", .object = false},
      {.name = "bare string", .line = "\"status\"", .object = false},
      {.name = "number", .line = "7", .object = false},
      {.name = "true", .line = "true", .object = false},
      {.name = "null", .line = "null", .object = false},
      {.name = "object then object", .line = "{\"a\":1}{\"b\":2}", .object = false},
      {.name = "object then word", .line = "{\"action\":\"status\"} x", .object = false},
      {.name = "trailing comma", .line = "{\"a\":1,}", .object = false},
      {.name = "comment", .line = "{\"a\":1/*c*/}", .object = false},
      {.name = "single quotes", .line = "{'a':1}", .object = false},
      {.name = "raw control in string", .line = "{\"a\":\"x\ty\"}", .object = false},
      {.name = "raw NUL in string", .line = "{\"a\":\"x\0y\"}"s, .object = false},
      {.name = "raw NUL after object", .line = "{\"a\":1}\0"s, .object = false},
      {.name = "NaN", .line = "{\"a\":NaN}", .object = false},
      {.name = "number overflow", .line = "{\"a\":1e400}", .object = false},
      {.name = "negative overflow", .line = "{\"a\":-1e400}", .object = false},
      {.name = "object with surrounding blanks", .line = " \t{\"a\":1} ", .object = true},
      {.name = "escaped NUL is fine", .line = "{\"a\":\"x\\u0000y\"}", .object = true},
      {.name = "underflow is zero, fine", .line = "{\"a\":1e-400}", .object = true},
      {.name = "empty object", .line = "{}", .object = true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decodeRequest(row.line).has_value(), row.object);
  }
}

TEST(DecodeRequest, UnpairedSurrogateEscapesReadAsReplacement) {
  struct Row {
    std::string line;
    std::string text;  // expected UTF-8 of member "t"
  };
  const Row rows[] = {
      {R"({"t":"a\uD800b"})",
       "a\xEF\xBF\xBD"
       "b"},
      {R"({"t":"\uDC00"})", "\xEF\xBF\xBD"},
      {R"({"t":"\uD800\uD800"})", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {R"({"t":"\uDBFF"})", "\xEF\xBF\xBD"},
      {R"({"t":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},                    // a real pair stays
      {R"({"t":"\uD83D\uDE00\uDE00"})", "\xF0\x9F\x98\x80\xEF\xBF\xBD"},  // pair, then lone low
      {R"({"t":"\\uD800"})", "\\uD800"},  // an escaped backslash, not an escape
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const auto request = decodeRequest(row.line);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->at("t").get<std::string>(), row.text);
  }
  // The same escape as a member name too.
  const auto named = decodeRequest(R"({"\uD800":1})");
  ASSERT_TRUE(named.has_value());
  EXPECT_TRUE(named->contains("\xEF\xBF\xBD"));
}

TEST(DecodeRequest, ByteOrderMarkAtTheStartIsIgnored) {
  // RFC 8259 lets a decoder ignore one; anywhere else it is not white space.
  EXPECT_TRUE(decodeRequest("\xEF\xBB\xBF{\"a\":1}").has_value());
  EXPECT_FALSE(decodeRequest("{\"a\":1}\xEF\xBB\xBF").has_value());
  EXPECT_FALSE(decodeRequest(" \xEF\xBB\xBF{\"a\":1}").has_value());
}

TEST(DecodeRequest, NestingIsBounded) {
  EXPECT_TRUE(decodeRequest(nested(kMaxNestingDepth)).has_value());
  EXPECT_FALSE(decodeRequest(nested(kMaxNestingDepth + 1)).has_value());
  EXPECT_FALSE(decodeRequest(nested(100'000)).has_value());
  // Brackets inside strings are text, not nesting.
  EXPECT_TRUE(decodeRequest("{\"a\":\"" + std::string(5000, '[') + "\"}").has_value());
}

TEST(DecodeRequest, IntegersSurviveExactlyAndLastDuplicateWins) {
  const auto request =
      decodeRequest(R"({"max":18446744073709551615,"min":-9223372036854775808,"a":1,"a":2})");
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->at("max").dump(), "18446744073709551615");
  EXPECT_EQ(request->at("min").dump(), "-9223372036854775808");
  EXPECT_EQ(request->at("a"), 2);
}

TEST(DecodeRequest, SizeLimitIsInclusive) {
  const std::string head = "{\"a\":\"";
  const std::string tail = "\"}";
  const std::string exact =
      head + std::string(kMaxRequestBytes - head.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(exact.size(), kMaxRequestBytes);
  EXPECT_TRUE(decodeRequest(exact).has_value());
  EXPECT_FALSE(decodeRequest(head + "x" + exact.substr(head.size())).has_value());
}

}  // namespace
}  // namespace caretsafe
