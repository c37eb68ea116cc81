// Turning one request line into a request object.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace caretsafe {

// The largest line text that is decoded, in UTF-8 bytes after ill-formed sequences have
// become U+FFFD. Inclusive.
inline constexpr std::size_t kMaxRequestBytes = 1'000'000;

// The deepest nesting of arrays and objects a request may hold (the top-level object counts
// as 1). The decoder itself is iterative, but encoding the "requestId" echo recurses, so the
// depth is bounded well before the stack could be.
inline constexpr std::size_t kMaxNestingDepth = 512;

// Decodes a line text (already well-formed UTF-8) as strict JSON (RFC 8259) and returns it
// when it is an object within the limits above. Beyond what the JSON library does itself:
// - a raw NUL byte anywhere makes the line undecodable (the library would stop reading there);
// - a \u escape of an unpaired surrogate is read as U+FFFD instead of failing the line;
// - a number too large to hold (1e400) makes the line undecodable, never infinity;
// - of duplicate member names, the last one wins.
std::optional<nlohmann::json> decodeRequest(std::string_view lineText);

// Rewrites, in place, every \u escape of an unpaired surrogate inside a JSON string as
// \uFFFD (both are six characters), and reports the deepest nesting outside strings. The
// text is otherwise untouched; syntax errors are left for the decoder to find.
struct JsonPrepass {
  std::size_t maxDepth = 0;
};
JsonPrepass prepareJson(std::string& text);

}  // namespace caretsafe
