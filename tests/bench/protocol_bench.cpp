// Benchmarks of the line protocol's own costs, each beside a baseline measured in the same run:
// - answering a 1,000,000-byte request line (UTF-8 check, pre-pass, decode, dispatch, and
//   the echo of its "requestId") against a plain nlohmann::json::parse of the same bytes, and
//   against parse plus dump (the least any echo of the id could cost); once with an ASCII id,
//   once with an id of mostly non-ASCII text and escapes;
// - the request loop's framing of that line (reading it from a stream, answering, writing)
//   against std::getline of the same line plus answering it;
// - answering a "status" line against a parse of the same line, on a platform whose
//   permission check costs nothing, so that what remains is the protocol's own work.

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/no_service_platform.h"

namespace caretsafe {
namespace {

// {"action":"status","requestId":"<filler>"} grown to exactly `size` bytes with `unit`
// repeated (whole units only; ASCII 'x' pads the rest).
std::string statusLine(std::size_t size, std::string_view unit) {
  std::string line = R"({"action":"status","requestId":")";
  const std::string tail = "\"}";
  while (line.size() + unit.size() + tail.size() <= size) line += unit;
  while (line.size() + tail.size() < size) line += 'x';
  return line + tail;
}

const std::string& asciiLine() {
  static const std::string line = statusLine(1'000'000, "abcdefgh");
  return line;
}

// Two-, three- and four-byte characters, an escaped quote and backslash, a \u escape.
const std::string& mixedLine() {
  static const std::string line =
      statusLine(1'000'000, "\xC3\xB6\xE2\x82\xAC\xF0\x9F\x98\x80 \\\"\\\\\\u00e9");
  return line;
}

// A trusted platform that is never asked anything else: "status" lines only.
class StatusOnlyPlatform final : public NoServicePlatform {
 public:
  bool isProcessTrusted() override { return true; }
};

void answerBench(benchmark::State& state, const std::string& line) {
  StatusOnlyPlatform platform;
  TargetSlot target;
  for (auto _ : state) {
    const std::optional<std::string> response = answerLine(line, platform, target);
    if (!response || response->size() < line.size() / 2) state.SkipWithError("not echoed");
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

void parseBench(benchmark::State& state, const std::string& line, bool dump) {
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (!value.is_object()) state.SkipWithError("not parsed");
    if (dump) benchmark::DoNotOptimize(value.dump());
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

void BM_Parse1MBLine(benchmark::State& state) {
  parseBench(state, asciiLine(), false);
}
BENCHMARK(BM_Parse1MBLine)->Unit(benchmark::kMillisecond);
void BM_ParseAndDump1MBLine(benchmark::State& state) {
  parseBench(state, asciiLine(), true);
}
BENCHMARK(BM_ParseAndDump1MBLine)->Unit(benchmark::kMillisecond);
void BM_Answer1MBLine(benchmark::State& state) {
  answerBench(state, asciiLine());
}
BENCHMARK(BM_Answer1MBLine)->Unit(benchmark::kMillisecond);

void BM_Parse1MBMixedLine(benchmark::State& state) {
  parseBench(state, mixedLine(), false);
}
BENCHMARK(BM_Parse1MBMixedLine)->Unit(benchmark::kMillisecond);
void BM_ParseAndDump1MBMixedLine(benchmark::State& state) {
  parseBench(state, mixedLine(), true);
}
BENCHMARK(BM_ParseAndDump1MBMixedLine)->Unit(benchmark::kMillisecond);
void BM_Answer1MBMixedLine(benchmark::State& state) {
  answerBench(state, mixedLine());
}
BENCHMARK(BM_Answer1MBMixedLine)->Unit(benchmark::kMillisecond);

// The baseline of the framing: the line read with std::getline, answered, and written.
void BM_GetlineAndAnswer1MBLine(benchmark::State& state) {
  StatusOnlyPlatform platform;
  TargetSlot target;
  const std::string input = asciiLine() + "\n";
  for (auto _ : state) {
    std::istringstream in(input);
    std::ostringstream out;
    std::string line;
    std::getline(in, line);
    std::optional<std::string> response = answerLine(line, platform, target);
    out << *response << '\n' << std::flush;
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_GetlineAndAnswer1MBLine)->Unit(benchmark::kMillisecond);

void BM_RequestLoop1MBLine(benchmark::State& state) {
  StatusOnlyPlatform platform;
  TargetSlot target;
  const std::string input = asciiLine() + "\n";
  for (auto _ : state) {
    std::istringstream in(input);
    std::ostringstream out;
    runRequestLoop(platform, target, in, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_RequestLoop1MBLine)->Unit(benchmark::kMillisecond);

const std::string kStatusLine = R"({"action":"status","requestId":17})";

void BM_ParseStatusLine(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(kStatusLine));
}
BENCHMARK(BM_ParseStatusLine);

void BM_AnswerStatusLine(benchmark::State& state) {
  StatusOnlyPlatform platform;
  TargetSlot target;
  for (auto _ : state) benchmark::DoNotOptimize(answerLine(kStatusLine, platform, target));
}
BENCHMARK(BM_AnswerStatusLine);

}  // namespace
}  // namespace caretsafe

BENCHMARK_MAIN();
