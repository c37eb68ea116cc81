#include "app/request_loop.h"

#include <istream>
#include <ostream>

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
      response = handle(*request, platform, target);
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

void runRequestLoop(Platform& platform, TargetSlot& target, std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    // A carriage return belongs to the terminator only when a line feed follows it; a last
    // line without a line feed keeps it.
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    std::optional<std::string> response;
    {
      ReleasePoolScope pool(platform);
      response = answerLine(line, platform, target);
    }
    if (response) {
      response->push_back('\n');
      out.write(response->data(), static_cast<std::streamsize>(response->size()));
      out.flush();
    }
    // The line's memory goes with it; a 1 MB line must not stay reserved for the process's
    // whole life.
    if (line.capacity() > 64 * 1024) std::string().swap(line);
  }
}

}  // namespace caretsafe
