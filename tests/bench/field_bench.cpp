// Capture and insert on a 1,000,000-unit field held by a platform that does nothing but hand
// out copies of the field's UTF-16 value and splice writes into it, which is what any platform
// must do. What these cost beyond raw SHA-256 of the field is the program's own work; the same
// operations on the simulated desktop (core_bench) add the simulation's model conversions.
//   capture: focus, inspection, fingerprint     baseline: one raw SHA-256 of the field
//                                               (and the fingerprint's UTF-8 conversion alone)
//   insert of 60,000 units (validation, write, read-back, comparison)
//                                               baseline: two raw SHA-256 passes

#include <benchmark/benchmark.h>

#include <string>

#include "insertion/capture.h"
#include "insertion/insert.h"
#include "insertion/sha256.h"
#include "platform/no_service_platform.h"
#include "text/utf.h"

namespace caretsafe {
namespace {

// One notes application (pid 501) whose focused element (ref 1) is a text area holding
// `value` with a caret; the application element is ref 100.
class FieldPlatform final : public NoServicePlatform {
 public:
  FieldPlatform(std::u16string value, std::int64_t caret)
      : value_(std::move(value)), caret_(caret) {}

  std::optional<RunningApp> frontmostApplication() override {
    return RunningApp{501, std::string("com.example.Notes")};
  }
  // Fixed, so that no real process can be taken for the application.
  Pid ownPid() override { return 1; }
  std::optional<Pid> parentPid() override { return std::nullopt; }
  Element createApplication(Pid) override { return Element::adopt(*this, kApp); }
  AttributeRead copyAttributeValue(const Element& element, std::string_view name) override {
    if (element.ref() == kApp && name == "AXFocusedUIElement") {
      return {kAxSuccess, Element::adopt(*this, kField)};
    }
    if (element.ref() != kField) return {kAxErrorAttributeUnsupported, NoValue{}};
    if (name == "AXRole") return {kAxSuccess, std::u16string(u"AXTextArea")};
    if (name == "AXSubrole") return {kAxSuccess, NoValue{}};
    if (name == "AXEnabled") return {kAxSuccess, true};
    if (name == "AXValue") return {kAxSuccess, value_};
    if (name == "AXSelectedTextRange") {
      return {kAxSuccess, AxValue{kAxValueKindRange, Range{caret_, 0}}};
    }
    return {kAxErrorAttributeUnsupported, NoValue{}};
  }
  SettableAnswer isAttributeSettable(const Element&, std::string_view) override {
    return {kAxSuccess, true};
  }
  AxError setAttributeValue(const Element&, std::string_view, std::u16string_view text) override {
    value_.insert(static_cast<std::size_t>(caret_), text);
    caret_ += static_cast<std::int64_t>(text.size());
    return kAxSuccess;
  }
  bool elementsEqual(const Element& a, const Element& b) override { return a.ref() == b.ref(); }
  // A fixed token: the system's random source is no part of what is measured.
  std::string newUuid() override { return "00000000-0000-4000-8000-000000000000"; }

  void reset(std::u16string value, std::int64_t caret) {
    value_ = std::move(value);
    caret_ = caret;
  }

 private:
  static constexpr std::uintptr_t kApp = 100;
  static constexpr std::uintptr_t kField = 1;
  std::u16string value_;
  std::int64_t caret_;
};

// The same field value as core_bench: 1,000,000 units of one-, two- and three-byte UTF-8
// characters.
const std::u16string& bigField() {
  static const std::u16string value = [] {
    std::u16string s;
    const std::u16string pattern = u"Hello, w\u00F6rld \u05E9\u05DC\u05D5\u05DD \u20AC ";
    while (s.size() + pattern.size() <= 1'000'000) s += pattern;
    s.resize(1'000'000, u'x');
    return s;
  }();
  return value;
}

void BM_RawSha256OfField(benchmark::State& state) {
  const std::string utf8 = text::utf8FromUtf16(bigField());
  for (auto _ : state) benchmark::DoNotOptimize(sha256(utf8));
}
BENCHMARK(BM_RawSha256OfField)->Unit(benchmark::kMillisecond);

// The fingerprint's first step on its own: the field's UTF-8 form.
void BM_Utf8OfField(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(text::utf8FromUtf16(bigField()));
}
BENCHMARK(BM_Utf8OfField)->Unit(benchmark::kMillisecond);

void BM_CaptureOfField(benchmark::State& state) {
  FieldPlatform platform(bigField(), 500'000);
  TargetSlot target;
  for (auto _ : state) benchmark::DoNotOptimize(capture(platform, target));
}
BENCHMARK(BM_CaptureOfField)->Unit(benchmark::kMillisecond);

void BM_TwoRawSha256OfField(benchmark::State& state) {
  const std::string utf8 = text::utf8FromUtf16(bigField());
  for (auto _ : state) {
    benchmark::DoNotOptimize(sha256(utf8));
    benchmark::DoNotOptimize(sha256(utf8));
  }
}
BENCHMARK(BM_TwoRawSha256OfField)->Unit(benchmark::kMillisecond);

void BM_Insert60kIntoField(benchmark::State& state) {
  // 940,000 units before and 1,000,000 after, so the read-back is the full size.
  const std::u16string before = bigField().substr(0, 940'000);
  const std::string text = text::utf8FromUtf16(std::u16string(60'000, u'a'));
  FieldPlatform platform(before, 470'000);
  TargetSlot target;
  for (auto _ : state) {
    state.PauseTiming();
    platform.reset(before, 470'000);
    const std::string token = std::get<Captured>(capture(platform, target)).token;
    state.ResumeTiming();
    const InsertResult result = insert({.token = token, .text = text}, platform, target);
    if (result != InsertResult(Delivery::kConfirmed)) state.SkipWithError("not confirmed");
  }
}
BENCHMARK(BM_Insert60kIntoField)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace caretsafe

BENCHMARK_MAIN();
