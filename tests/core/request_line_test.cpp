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
      {"empty", "", false},
      {"blank", "   \t ", false},
      {"array", "[1,2]", false},
      {"bare string", "\"status\"", false},
      {"number", "7", false},
      {"true", "true", false},
      {"null", "null", false},
      {"object then object", "{\"a\":1}{\"b\":2}", false},
      {"object then word", "{\"action\":\"status\"} x", false},
      {"trailing comma", "{\"a\":1,}", false},
      {"comment", "{\"a\":1/*c*/}", false},
      {"single quotes", "{'a':1}", false},
      {"raw control in string", "{\"a\":\"x\ty\"}", false},
      {"raw NUL in string", "{\"a\":\"x\0y\"}"s, false},
      {"raw NUL after object", "{\"a\":1}\0"s, false},
      {"NaN", "{\"a\":NaN}", false},
      {"number overflow", "{\"a\":1e400}", false},
      {"negative overflow", "{\"a\":-1e400}", false},
      {"object with surrounding blanks", " \t{\"a\":1} ", true},
      {"escaped NUL is fine", "{\"a\":\"x\\u0000y\"}", true},
      {"underflow is zero, fine", "{\"a\":1e-400}", true},
      {"empty object", "{}", true},
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
