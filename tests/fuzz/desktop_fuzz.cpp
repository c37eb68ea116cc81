// libFuzzer target: arbitrary bytes as a desktop file. The simulated desktop must never crash
// on any desktop a harness gives it, and the program over it must keep the host's promises
// (checked_session.h) whatever the desktop says.
//
// The bytes are read the way a desktop file is read, then a fixed session runs
//   - on the desktop they describe (most inputs describe none: the empty, untrusted desktop);
//   - on the ordinary-field and the terminal fixture desktops with the value applied as a
//     change between capture and insert, the way a scheduled change or a replaced file
//     changes a desktop under a held capture.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/checked_session.h"
#include "platform/sim/json_text.h"
#include "platform/sim/sim_desktop.h"
#include "support/harness.h"

namespace caretsafe::fuzz {
namespace {

constexpr std::string_view kSession =
    "{\"action\":\"status\"}\n"
    "{\"action\":\"capture\",\"requestId\":1}\n"
    "{\"action\":\"insert\",\"token\":\"$T\",\"text\":\"Hi\\n\\tthere \\uD83D\\uDE00\"}\n"
    "{\"action\":\"capture\"}\n"
    "{\"action\":\"insert\",\"token\":\"$T\",\"text\":\"x\"}\n"
    "{\"action\":\"clear\"}\n";

constexpr std::string_view kCapture = "{\"action\":\"capture\"}\n";
constexpr std::string_view kInsert =
    "{\"action\":\"insert\",\"token\":\"$T\",\"text\":\"ok \\u2028\\u0007done\"}\n";

void runOn(sim::SimDesktop& desktop, std::string_view lines) {
  desktop.setWait([](double) {});
  CheckedSession session(desktop);
  session.answerAll(lines);
  session.finish();
}

void changedUnderCapture(const nlohmann::json& fixture, const nlohmann::json& change) {
  sim::SimDesktop desktop(fixture);
  desktop.setWait([](double) {});
  CheckedSession session(desktop);
  session.answer(kCapture);
  desktop.patch(change);
  session.answer(kInsert);
  session.answerAll(kSession);
  session.finish();
}

}  // namespace
}  // namespace caretsafe::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace caretsafe;
  const std::optional<nlohmann::json> value =
      sim::parseJsonText(std::string_view(reinterpret_cast<const char*>(data), size));
  {
    sim::SimDesktop desktop(value ? *value : nlohmann::json());
    fuzz::runOn(desktop, fuzz::kSession);
  }
  if (value) {
    fuzz::changedUnderCapture(testing::baseDesktop(), *value);
    fuzz::changedUnderCapture(testing::terminalDesktop(), *value);
  }
  return 0;
}
