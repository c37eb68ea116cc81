// Benchmarks of the program's own costs, each beside a baseline measured in the same run:
// - the fingerprint of a 1,000,000-unit field against raw SHA-256 of its UTF-8 bytes;
// - a whole capture of such a field on the simulated desktop;
// - an insert of 60,000 units into it (validation, write, read-back) against two raw
//   SHA-256 passes over the field;
// - keystroke delivery of 4,000 scalars, on the simulated desktop and on a bare platform
//   whose primitives cost nothing, so that what remains is our own cost per scalar.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "app/request_loop.h"
#include "insertion/capture.h"
#include "insertion/digest.h"
#include "insertion/insert.h"
#include "insertion/keystrokes.h"
#include "insertion/sha256.h"
#include "platform/no_service_platform.h"
#include "platform/sim/sim_desktop.h"
#include "probe/focus.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

// A field value of 1,000,000 UTF-16 units. Kind 0 mixes one-, two- and three-byte UTF-8
// characters about evenly (a worst case for the conversion); kind 1 is prose, mostly ASCII
// with an accented letter now and then.
const std::u16string& bigField(std::int64_t kind = 0) {
  static const std::u16string mixed = [] {
    std::u16string s;
    const std::u16string pattern = u"Hello, w\u00F6rld \u05E9\u05DC\u05D5\u05DD \u20AC ";
    while (s.size() + pattern.size() <= 1'000'000) s += pattern;
    s.resize(1'000'000, u'x');
    return s;
  }();
  static const std::u16string prose = [] {
    std::u16string s;
    const std::u16string pattern =
        u"The quick brown fox jumps over the lazy dog, then rests in the caf\u00E9 by the "
        u"river while the na\u00EFve farmer rewrites his r\u00E9sum\u00E9 for the third time.\n";
    while (s.size() + pattern.size() <= 1'000'000) s += pattern;
    s.resize(1'000'000, u'x');
    return s;
  }();
  return kind == 0 ? mixed : prose;
}

void BM_RawSha256Of1MField(benchmark::State& state) {
  const std::string utf8 = text::utf8FromUtf16(bigField(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(sha256(utf8));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(utf8.size()));
}
BENCHMARK(BM_RawSha256Of1MField)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DigestOf1MField(benchmark::State& state) {
  const std::u16string& field = bigField(state.range(0));
  const std::string utf8 = text::utf8FromUtf16(field);
  for (auto _ : state) benchmark::DoNotOptimize(digest(field));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(utf8.size()));
}
BENCHMARK(BM_DigestOf1MField)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_TwoRawSha256Of1MField(benchmark::State& state) {
  const std::string utf8 = text::utf8FromUtf16(bigField());
  for (auto _ : state) {
    benchmark::DoNotOptimize(sha256(utf8));
    benchmark::DoNotOptimize(sha256(utf8));
  }
}
BENCHMARK(BM_TwoRawSha256Of1MField)->Unit(benchmark::kMillisecond);

nlohmann::json desktopWithField(const std::u16string& value, std::int64_t caret) {
  return {{"trusted", true},
          {"frontmost", 501},
          {"apps",
           {{"501",
             {{"bundleId", "com.example.Notes"},
              {"attributes", {{"AXFocusedUIElement", {{"element", "body"}}}}}}},
            {"601",
             {{"bundleId", "com.apple.Terminal"},
              {"attributes", {{"AXFocusedUIElement", {{"element", "shell"}}}}}}}}},
          {"elements",
           {{"body",
             {{"app", 501},
              {"attributes",
               {{"AXRole", "AXTextArea"},
                {"AXEnabled", true},
                {"AXValue", text::utf8FromUtf16(value)},
                {"AXSelectedTextRange", {{"range", {caret, 0}}}}}},
              {"settable", {{"AXSelectedText", true}}}}},
            {"shell",
             {{"app", 601},
              {"attributes",
               {{"AXRole", "AXTextArea"},
                {"AXEnabled", true},
                {"AXValue", ""},
                {"AXSelectedTextRange", {{"range", {0, 0}}}}}}}}}}};
}

void BM_CaptureOf1MFieldOnSim(benchmark::State& state) {
  sim::SimDesktop desktop(desktopWithField(bigField(), 500'000));
  TargetSlot target;
  for (auto _ : state) benchmark::DoNotOptimize(capture(desktop, target));
}
BENCHMARK(BM_CaptureOf1MFieldOnSim)->Unit(benchmark::kMillisecond);

void BM_Insert60kInto1MFieldOnSim(benchmark::State& state) {
  // The field is 940,000 units before and 1,000,000 after, so the read-back is the full size.
  const std::u16string before = bigField().substr(0, 940'000);
  const std::u16string text(60'000, u'a');
  const std::string insertText = text::utf8FromUtf16(text);
  sim::SimDesktop desktop(desktopWithField(before, 470'000));
  const nlohmann::json reset = desktopWithField(before, 470'000);
  TargetSlot target;
  for (auto _ : state) {
    state.PauseTiming();
    desktop.patch(reset);
    const std::string token = std::get<Captured>(capture(desktop, target)).token;
    state.ResumeTiming();
    const InsertResult result = insert({.token = token, .text = insertText}, desktop, target);
    if (result != InsertResult(Delivery::kConfirmed)) state.SkipWithError("insert not confirmed");
  }
}
BENCHMARK(BM_Insert60kInto1MFieldOnSim)->Unit(benchmark::kMillisecond);

// A platform whose primitives do nothing and cost (almost) nothing: one terminal (pid 601),
// frontmost, its focus on element 1. What a delivery costs on it is the program's own work.
class BarePlatform final : public NoServicePlatform {
 public:
  std::optional<RunningApp> frontmostApplication() override {
    return RunningApp{601, std::string("com.apple.Terminal")};
  }
  // Fixed, so that no real process can be taken for the terminal.
  Pid ownPid() override { return 1; }
  std::optional<Pid> parentPid() override { return std::nullopt; }
  AttributeRead copyAttributeValue(const Element&, std::string_view) override {
    return {kAxSuccess, Element::adopt(*this, 1)};
  }
  bool elementsEqual(const Element& a, const Element& b) override { return a.ref() == b.ref(); }
  KeyEvent createKeyboardEvent(std::uint16_t, bool) override { return KeyEvent::adopt(*this, 7); }
  void setUnicodeString(KeyEvent&, std::u16string_view units) override {
    benchmark::DoNotOptimize(units.data());
  }
  bool postToPid(Pid, const KeyEvent&) override {
    ++posted;
    return true;
  }
  std::size_t posted = 0;
};

std::u16string typedText() {
  std::u16string s;
  for (int i = 0; i < 4000; ++i) s.push_back(static_cast<char16_t>(u'a' + i % 26));
  return s;
}

void BM_Keystrokes4000OnBarePlatform(benchmark::State& state) {
  BarePlatform platform;
  const Element validated = Element::adopt(platform, 1);
  const std::u16string text = typedText();
  for (auto _ : state) benchmark::DoNotOptimize(typeText(platform, validated, 601, text));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4000));
}
BENCHMARK(BM_Keystrokes4000OnBarePlatform)->Unit(benchmark::kMicrosecond);

void BM_Keystrokes4000OnSim(benchmark::State& state) {
  nlohmann::json d = desktopWithField(u"", 0);
  d["frontmost"] = 601;
  sim::SimDesktop desktop(d);
  const std::u16string text = typedText();
  const Element validated = focused(desktop)->element;
  for (auto _ : state) {
    if (typeText(desktop, validated, 601, text) != InsertResult(Delivery::kSentUnverified)) {
      state.SkipWithError("delivery failed");
    }
    desktop.clearJournal();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4000));
}
BENCHMARK(BM_Keystrokes4000OnSim)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace caretsafe

BENCHMARK_MAIN();
