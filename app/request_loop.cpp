#include "app/request_loop.h"

#include <istream>
#include <ostream>
#include <streambuf>

#include "app/request_line.h"
#include "protocol/dispatcher.h"
#include "protocol/responses.h"
#include "text/utf.h"

namespace caretsafe {

std::optional<std::string> answerLine(std::string_view lineBytes, Platform& platform,
                                      TargetSlot& target) {
  nlohmann::json response = defaultRefusal();
  // Ill-formed UTF-8 becomes U+FFFD before anything else, so the size limit counts each
  // replacement as its three bytes. Replacing never shortens a text (an ill-formed sequence
  // is at most three bytes), so a line already over the limit is refused without the copy.
  if (lineBytes.size() <= kMaxRequestBytes) {
    const std::string lineText = text::sanitizeUtf8(lineBytes);
    if (std::optional<nlohmann::json> request = decodeRequest(lineText)) {
      try {
        response = handle(*request, platform, target);
      } catch (...) {
        // Only running out of memory can get here. The answer still carries the request's
        // id, so the host can tell which request failed.
        response = defaultRefusal();
      }
      if (const auto id = request->find("requestId"); id != request->end()) {
        response["requestId"] = std::move(*id);
      }
    }
  }
  try {
    std::string encoded = response.dump();
    if (!text::isValidUtf8(encoded)) return std::nullopt;
    return encoded;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

namespace {

// Reads the next line into `line`, its terminator removed; false at the end of input (a read
// error counts as the end). Only the first kMaxRequestBytes + 1 bytes of a line are kept:
// that is enough to tell that a longer line is over the limit (even after a CR LF is cut),
// so one endless line cannot take all the memory. The rest of such a line is read and
// dropped, and the line keeps its kMaxRequestBytes + 1 bytes, which the limit refuses.
bool readLine(std::streambuf& input, std::string& line) {
  constexpr std::size_t kKept = kMaxRequestBytes + 1;
  line.clear();
  bool overlong = false;
  bool any = false;
  for (int c = input.sbumpc(); c != std::char_traits<char>::eof(); c = input.sbumpc()) {
    any = true;
    if (c == '\n') {
      // A carriage return belongs to the terminator only when a line feed follows it.
      if (!overlong && !line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (line.size() < kKept) {
      line.push_back(static_cast<char>(c));
    } else {
      overlong = true;
    }
  }
  return any;  // a last line without a line feed keeps a trailing carriage return
}

}  // namespace

LoopEnd runRequestLoop(Platform& platform, TargetSlot& target, std::istream& in,
                       std::ostream& out) {
  std::streambuf* input = in.rdbuf();
  if (input == nullptr) return LoopEnd::kInputEnded;
  std::string line;
  for (;;) {
    // Nothing but the end of input or of the output ends the loop: an input that fails to
    // read has ended, and a line whose answer could not be made (memory ran out) still gets
    // one, so the host never waits for an answer that will not come.
    bool more = false;
    try {
      more = readLine(*input, line);
    } catch (...) {
      more = false;
    }
    if (!more) return LoopEnd::kInputEnded;
    std::optional<std::string> response;
    try {
      ReleasePoolScope pool(platform);
      response = answerLine(line, platform, target);
      if (response) response->push_back('\n');
    } catch (...) {
      // Memory ran out before the answer was made: the default refusal, which needs none.
      static constexpr std::string_view kRefusalLine =
          "{\"ok\":false,\"reason\":\"invalid-command\"}\n";
      out.write(kRefusalLine.data(), static_cast<std::streamsize>(kRefusalLine.size()));
      if (!out.flush()) return LoopEnd::kOutputGone;
      continue;
    }
    if (response) {
      out.write(response->data(), static_cast<std::streamsize>(response->size()));
      // An output that is gone for good takes every later answer with it: carrying out
      // more requests (inserts among them) that nobody hears about would be worse than
      // stopping.
      if (!out.flush()) return LoopEnd::kOutputGone;
    }
    // A 1 MB line's buffer must not stay reserved for the process's whole life.
    if (line.capacity() > 64 * 1024) std::string().swap(line);
  }
}

}  // namespace caretsafe
