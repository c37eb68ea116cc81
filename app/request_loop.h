// The request loop: the framing layer of the line protocol.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "insertion/target.h"
#include "platform/platform.h"

namespace caretsafe {

// The response line (without its line feed) for one line text as read (terminator removed,
// bytes not yet checked as UTF-8), or nothing when the response cannot be encoded. Lines that
// are not request objects get the default refusal without "requestId"; a request object gets
// `handle`'s response with the request's "requestId" copied in.
std::optional<std::string> answerLine(std::string_view lineBytes, Platform& platform,
                                      TargetSlot& target);

enum class LoopEnd {
  kInputEnded,  // the end of input, or a read error, which counts as the end
  kOutputGone,  // an answer could not be written: no later answer could reach anyone
};

// Reads lines from `in` until it ends and writes one response line per line to `out`,
// flushed before the next line is read; stops early when `out` fails. Each line is answered
// inside the platform's release pool. No exception leaves the loop.
LoopEnd runRequestLoop(Platform& platform, TargetSlot& target, std::istream& in, std::ostream& out);

}  // namespace caretsafe
