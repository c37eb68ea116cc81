// Request lines through the real request loop over an in-memory simulated desktop, with what
// the helper promises a host checked after every line. A broken promise prints what broke and
// aborts, which libFuzzer records as a crash together with the input that caused it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/sim/sim_desktop.h"
#include "protocol/responses.h"
#include "text/utf.h"

namespace caretsafe::fuzz {

// Stands for the token of the latest successful capture in a request line, the way a host
// fills in the token it was given.
inline constexpr std::string_view kTokenPlaceholder = "$T";

inline void require(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

// Whether `code` is one of the reason codes a refusal may carry.
inline bool isReasonCode(std::string_view code) {
  constexpr Reason kReasons[] = {
      Reason::kInvalidCommand,   Reason::kPermissionRequired,
      Reason::kUnsupportedField, Reason::kNoTarget,
      Reason::kExpired,          Reason::kInvalidText,
      Reason::kTargetChanged,    Reason::kModifierHeld,
      Reason::kWriteUnconfirmed,
  };
  return std::any_of(std::begin(kReasons), std::end(kReasons),
                     [&](Reason r) { return reasonCode(r) == code; });
}

// A capture token: 36 characters, upper-case hexadecimal digits and hyphens in UUID form.
inline bool isTokenForm(std::string_view token) {
  if (token.size() != 36) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char c = token[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Whether a typed scalar could end a command line or start a control sequence.
inline bool breaksTerminalLine(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// One host session: a slot and the latest token, over a desktop that outlives the session.
class CheckedSession {
 public:
  // `secureElement`, when given, names an element whose value must never be read.
  explicit CheckedSession(sim::SimDesktop& desktop, std::string secureElement = {})
      : desktop_(desktop), secureElement_(std::move(secureElement)) {}
  CheckedSession(const CheckedSession&) = delete;
  CheckedSession& operator=(const CheckedSession&) = delete;

  // Runs one request line (with its line feed, when it had one) through the request loop,
  // with every placeholder replaced by the latest token, and checks:
  // - exactly one response line comes out, valid UTF-8 and valid JSON, an object with a
  //   boolean "ok", a refusal's "reason" from the reason-code table, only the members a
  //   response may have, and a token of the right form never answered before;
  // - every key event posted carries exactly one scalar, none that could break a terminal's
  //   command line, no modifier flags, in key-down/key-up pairs;
  // - the secure element's value is never read;
  // - no keyboard event is left unreleased, and the element references outstanding are
  //   exactly those of the one record the slot may hold, which is the latest capture's.
  void answer(std::string_view line) {
    const std::string sent = withToken(line);
    // A last line that was only a placeholder, with no token yet, is no line at all.
    if (sent.empty()) return;
    std::istringstream in(sent);
    std::ostringstream out;
    runRequestLoop(desktop_, target_, in, out);
    const std::string output = out.str();
    if (echo()) std::fprintf(stderr, "> %s< %s", sent.c_str(), output.c_str());
    // The loop leaves out a response it cannot encode, but every string a response carries
    // is well-formed by then, so no line may go unanswered: a host would wait for ever.
    require(!output.empty() && output.find('\n') == output.size() - 1,
            "exactly one response line per request line");
    checkResponse(std::string_view(output).substr(0, output.size() - 1));
    checkJournal();
    checkSlot();
    desktop_.clearJournal();
  }

  // With CARETSAFE_FUZZ_ECHO set, every line and its answer are printed to standard error,
  // to follow what a crashing input did.
  static bool echo() {
    static const bool on = std::getenv("CARETSAFE_FUZZ_ECHO") != nullptr;
    return on;
  }

  // Splits input into lines as the request loop does (a last line without a line feed
  // still counts) and answers each.
  void answerAll(std::string_view input) {
    while (!input.empty()) {
      const std::size_t feed = input.find('\n');
      const std::size_t length = feed == std::string_view::npos ? input.size() : feed + 1;
      answer(input.substr(0, length));
      input.remove_prefix(length);
    }
  }

  // Ends the session as the process's exit would: the slot is dropped, after which nothing
  // may still hold an element or a keyboard event.
  void finish() {
    target_.clear();
    require(desktop_.liveElementReferences() == 0, "no element reference outlives the slot");
    require(desktop_.liveKeyEvents() == 0, "no keyboard event outlives its request");
  }

 private:
  std::string withToken(std::string_view line) const {
    std::string out;
    out.reserve(line.size());
    for (std::size_t at = line.find(kTokenPlaceholder); at != std::string_view::npos;
         at = line.find(kTokenPlaceholder)) {
      out.append(line.substr(0, at)).append(token_);
      line.remove_prefix(at + kTokenPlaceholder.size());
    }
    return out.append(line);
  }

  void checkResponse(std::string_view body) {
    require(text::isValidUtf8(body), "a response is valid UTF-8");
    require(std::none_of(body.begin(), body.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
            "a response is one line of compact JSON");
    const nlohmann::json response = nlohmann::json::parse(body, nullptr, false);
    require(response.is_object(), "a response is a JSON object");
    const auto ok = response.find("ok");
    require(ok != response.end() && ok->is_boolean(), "a response has a boolean \"ok\"");
    const bool accepted = ok->get<bool>();
    for (const auto& member : response.items()) {
      const std::string& name = member.key();
      const bool known = name == "ok" || name == "requestId" ||
                         (accepted ? name == "token" || name == "trusted" || name == "delivery"
                                   : name == "reason");
      require(known, "a response has only the members its outcome allows");
    }
    if (!accepted) {
      const auto reason = response.find("reason");
      require(reason != response.end() && reason->is_string() &&
                  isReasonCode(reason->get_ref<const std::string&>()),
              "a refusal carries a reason from the reason-code table");
      return;
    }
    if (const auto trusted = response.find("trusted"); trusted != response.end()) {
      require(trusted->is_boolean(), "\"trusted\" is a boolean");
    }
    if (const auto delivery = response.find("delivery"); delivery != response.end()) {
      require(*delivery == "sent-unverified", "the only delivery named is \"sent-unverified\"");
    }
    if (const auto token = response.find("token"); token != response.end()) {
      require(token->is_string() && isTokenForm(token->get_ref<const std::string&>()),
              "a token is an upper-case UUID");
      token_ = token->get<std::string>();
      require(tokens_.insert(token_).second, "every capture answers a fresh token");
      require(target_.peek() != nullptr && target_.peek()->token == token_,
              "the slot holds the capture whose token was answered");
    }
  }

  void checkJournal() {
    bool keyDownNext = true;
    std::string pairText;
    bool written = false;
    bool typed = false;
    for (const std::string& line : desktop_.journal()) {
      written = written || line.find("\"setAttributeValue\"") != std::string::npos;
      typed = typed || line.find("\"postToPid\"") != std::string::npos;
      require(!(written && typed), "no text is both written and typed");
      if (!secureElement_.empty() && line.find(secureElement_) != std::string::npos) {
        const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        require(!(entry.is_object() && entry.value("op", "") == "copyAttributeValue" &&
                  entry.value("element", "") == secureElement_ &&
                  entry.value("attribute", "") == "AXValue"),
                "a secure field's value is never read");
      }
      if (line.find("\"postToPid\"") == std::string::npos) continue;
      // Strict parsing: text with an unpaired surrogate (a \u escape) fails it.
      const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (!entry.is_object() || entry.value("op", "") != "postToPid") continue;
      const auto text = entry.find("text");
      require(text != entry.end() && text->is_string(), "a posted event has well-formed text");
      const std::u16string units = text::utf16FromUtf8(text->get_ref<const std::string&>());
      require(!units.empty() && text::scalarAt(units, 0).units == units.size(),
              "a posted event carries exactly one scalar");
      require(!breaksTerminalLine(text::scalarAt(units, 0).scalar),
              "no posted event carries a line break or a control character");
      require(entry.value("flags", std::uint64_t{1}) == 0, "a posted event has no modifier flags");
      require(entry.value("keyDown", !keyDownNext) == keyDownNext,
              "posted events come in key-down/key-up pairs");
      if (keyDownNext) {
        pairText = text->get<std::string>();
      } else {
        require(*text == pairText, "a key-up carries its key-down's text");
      }
      keyDownNext = !keyDownNext;
    }
    require(keyDownNext, "no key is left down at the end of a request");
  }

  void checkSlot() const {
    require(desktop_.liveKeyEvents() == 0, "no keyboard event outlives its request");
    const Target* held = target_.peek();
    // The record keeps exactly one element reference; anything more would be a leak or a
    // second record.
    require(desktop_.liveElementReferences() == (held != nullptr ? 1u : 0u),
            "element references outstanding are exactly the held record's");
    if (held != nullptr) {
      require(held->token == token_, "the slot holds only the latest capture");
      require(held->caret.length == 0, "a held capture is a bare caret");
    }
  }

  sim::SimDesktop& desktop_;
  const std::string secureElement_;
  TargetSlot target_;
  std::string token_;
  std::set<std::string> tokens_;
};

}  // namespace caretsafe::fuzz
