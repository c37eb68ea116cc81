// Capture and insert on a real GTK 3 entry, each beside its floor: the same AT-SPI requests
// made straight through libatspi in a loop, with nothing around them. What the program adds
// is its own work (the request line, the X11 lookups of the frontmost application, the
// fingerprint, the record) on top of requests that any helper doing this job must make.
//
// Run by scripts/bench/linux_bench.py, which starts a test desktop and the GTK 3 test
// application with its entry focused; every iteration finds the entry holding "hello world"
// with the caret after "hello" (restored outside the timing after an insert).
//
//   BM_Capture   a "capture" line answered by the request loop on the adapter, and beside it
//                its floor: its AT-SPI requests in the adapter's order (the registry's, for the
//                permission check; the focused-element lookup; the field's attributes)
//   BM_Insert    an "insert" line for a fresh capture (made outside the timing), and its floor:
//                registry, lookup, attributes, the write and the read-back
// Both run in turns within one benchmark (see `paired`); the counters ours_us and floor_us
// are their medians, ratio the quotient. "requests" and "floor_requests" are the requests to
// the application per operation: the adapter's as its request observer saw them, the floor's
// as it made them.
//
//   BM_PermissionCheck, BM_FrontmostApplication   two parts of what the program adds

#include <atspi/atspi.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/linux/linux_platform.h"

namespace caretsafe::linux_desktop {
namespace {

constexpr const char* kText = "hello world";
constexpr int kCaret = 5;

// The focused entry, found once, with what the floor starts from: the application's root,
// the index of its active window and the match rule for the focused element.
struct Field {
  AtspiAccessible* root = nullptr;
  gint window = -1;
  AtspiAccessible* entry = nullptr;
  AtspiMatchRule* rule = nullptr;
};

// Everything the benchmarks share: one adapter (its libatspi session serves the floor too).
struct Session {
  LinuxPlatform platform;
  TargetSlot slot;
  Field field;
  std::size_t observed = 0;  // the adapter's requests to the application, all told
  std::size_t timed = 0;     // those made inside the timed parts
};

void check(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

Field findField(LinuxPlatform& platform) {
  check(platform.isProcessTrusted(), "the desktop is not trusted");
  const std::optional<RunningApp> app = platform.frontmostApplication();
  check(app.has_value(), "no active window");
  const std::optional<Pid> pid = app->pid;

  Field field;
  GArray* states = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
  const AtspiStateType focused = ATSPI_STATE_FOCUSED;
  g_array_append_val(states, focused);
  AtspiStateSet* set = atspi_state_set_new(states);
  g_array_free(states, TRUE);
  field.rule = atspi_match_rule_new(set, ATSPI_Collection_MATCH_ALL, nullptr,
                                    ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL,
                                    nullptr, ATSPI_Collection_MATCH_ALL, FALSE);
  g_object_unref(set);

  AtspiAccessible* desktop = atspi_get_desktop(0);
  const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint i = 0; i < apps && field.root == nullptr; ++i) {
    AtspiAccessible* root = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (root == nullptr) continue;
    if (static_cast<Pid>(atspi_accessible_get_process_id(root, nullptr)) == *pid) {
      field.root = root;
    } else {
      g_object_unref(root);
    }
  }
  g_object_unref(desktop);
  check(field.root != nullptr, "the active application is not registered");
  const gint windows = atspi_accessible_get_child_count(field.root, nullptr);
  for (gint w = 0; w < windows && field.entry == nullptr; ++w) {
    AtspiAccessible* window = atspi_accessible_get_child_at_index(field.root, w, nullptr);
    AtspiStateSet* st = atspi_accessible_get_state_set(window);
    if (atspi_state_set_contains(st, ATSPI_STATE_ACTIVE)) {
      field.window = w;
      AtspiCollection* collection = atspi_accessible_get_collection(window);
      GArray* matches = atspi_collection_get_matches(
          collection, field.rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, nullptr);
      if (matches != nullptr && matches->len > 0) {
        field.entry = g_array_index(matches, AtspiAccessible*, 0);
      }
      if (matches != nullptr) g_array_free(matches, TRUE);
      g_object_unref(collection);
    }
    g_object_unref(st);
    g_object_unref(window);
  }
  check(field.entry != nullptr, "nothing focused in the active window");
  return field;
}

Session& session() {
  static Session* s = [] {
    auto* created = new Session;
    created->field = findField(created->platform);
    created->platform.observeRequests(
        [created](std::string_view, std::string_view, std::string_view) { ++created->observed; });
    return created;
  }();
  return *s;
}

// Puts the entry back to "hello world" with the caret after "hello".
void restore(const Field& field) {
  AtspiEditableText* editable = atspi_accessible_get_editable_text(field.entry);
  AtspiText* text = atspi_accessible_get_text(field.entry);
  atspi_editable_text_set_text_contents(editable, kText, nullptr);
  atspi_text_set_caret_offset(text, kCaret, nullptr);
  g_object_unref(text);
  g_object_unref(editable);
}

// --- the floor: the adapter's requests, made directly ----------------------------------

// Counts the requests to the application.
struct Counter {
  std::size_t made = 0;
};

void unrefIfAny(gpointer object) {
  if (object != nullptr) g_object_unref(object);
}

// The permission check's request to the registry.
void registry() {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  benchmark::DoNotOptimize(atspi_accessible_get_child_count(desktop, nullptr));
  g_object_unref(desktop);
}

// The focused-element lookup once the field has been found by a walk of its window: the
// field asked whether it is still focused (the walk itself is made once per focus change).
AtspiAccessible* lookup(const Field& field, Counter& n) {
  AtspiStateSet* states = atspi_accessible_get_state_set(field.entry);
  ++n.made;
  const bool focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
  g_object_unref(states);
  return focused ? ATSPI_ACCESSIBLE(g_object_ref(field.entry)) : nullptr;
}

void stateOf(AtspiAccessible* element, Counter& n) {
  unrefIfAny(atspi_accessible_get_state_set(element));
  ++n.made;
}

void roleOf(AtspiAccessible* element, Counter& n) {
  benchmark::DoNotOptimize(atspi_accessible_get_role(element, nullptr));
  ++n.made;
}

// The field's attributes in inspection's order: the settable test (its states), the
// selection (caret, selections, the role for the password guard, the text before the caret),
// role (with the states telling single from multi-line), subrole, enabled (states), the value
// (the password guard, the character count, the text).
void inspect(AtspiAccessible* element, Counter& n) {
  AtspiText* text = atspi_accessible_get_text(element);
  AtspiEditableText* editable = atspi_accessible_get_editable_text(element);
  stateOf(element, n);
  const gint caret = atspi_text_get_caret_offset(text, nullptr);
  benchmark::DoNotOptimize(atspi_text_get_n_selections(text, nullptr));
  n.made += 2;
  roleOf(element, n);
  g_free(atspi_text_get_text(text, 0, caret, nullptr));
  ++n.made;
  roleOf(element, n);
  stateOf(element, n);
  roleOf(element, n);
  stateOf(element, n);
  roleOf(element, n);
  benchmark::DoNotOptimize(atspi_text_get_character_count(text, nullptr));
  g_free(atspi_text_get_text(text, 0, -1, nullptr));
  n.made += 2;
  g_object_unref(editable);
  g_object_unref(text);
}

// The write at the caret (caret, selections, InsertText) and the read-back of the value.
void write(AtspiAccessible* element, const char* inserted, Counter& n) {
  AtspiText* text = atspi_accessible_get_text(element);
  AtspiEditableText* editable = atspi_accessible_get_editable_text(element);
  const gint caret = atspi_text_get_caret_offset(text, nullptr);
  benchmark::DoNotOptimize(atspi_text_get_n_selections(text, nullptr));
  atspi_editable_text_insert_text(editable, caret, inserted, 1, nullptr);
  n.made += 3;
  roleOf(element, n);
  benchmark::DoNotOptimize(atspi_text_get_character_count(text, nullptr));
  g_free(atspi_text_get_text(text, 0, -1, nullptr));
  n.made += 2;
  g_object_unref(editable);
  g_object_unref(text);
}

// --- benchmarks -------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// One capture through the request loop; its time in µs, or a negative value when refused.
double oursCapture(Session& s) {
  const std::size_t before = s.observed;
  const Clock::time_point start = Clock::now();
  const std::optional<std::string> answer =
      answerLine(R"({"action":"capture"})", s.platform, s.slot);
  const double took = microseconds(Clock::now() - start);
  s.timed += s.observed - before;
  return answer && answer->find("\"token\"") != std::string::npos ? took : -1;
}

double floorCapture(Session& s, Counter& n) {
  const Clock::time_point start = Clock::now();
  registry();
  AtspiAccessible* element = lookup(s.field, n);
  if (element == nullptr) return -1;
  inspect(element, n);
  g_object_unref(element);
  return microseconds(Clock::now() - start);
}

// One insert through the request loop, for a capture made (untimed) just before it.
double oursInsert(Session& s) {
  restore(s.field);
  const std::optional<std::string> captured =
      answerLine(R"({"action":"capture"})", s.platform, s.slot);
  const std::size_t at = captured ? captured->find("\"token\":\"") : std::string::npos;
  if (at == std::string::npos) return -1;
  const std::string line =
      R"({"action":"insert","text":"Z","token":")" + captured->substr(at + 9, 36) + "\"}";
  const std::size_t before = s.observed;
  const Clock::time_point start = Clock::now();
  const std::optional<std::string> answer = answerLine(line, s.platform, s.slot);
  const double took = microseconds(Clock::now() - start);
  s.timed += s.observed - before;
  return answer && *answer == R"({"ok":true})" ? took : -1;
}

double floorInsert(Session& s, Counter& n) {
  restore(s.field);
  const Clock::time_point start = Clock::now();
  registry();
  AtspiAccessible* element = lookup(s.field, n);
  if (element == nullptr) return -1;
  inspect(element, n);
  write(element, "Z", n);
  g_object_unref(element);
  return microseconds(Clock::now() - start);
}

// Ours and the floor in turns, one of each per iteration (which goes first alternates), so
// that a change of load falls on both alike; the counters are the medians of each side and
// their ratio, and the requests per operation on each side.
template <class Ours, class Floor>
void paired(benchmark::State& state, Ours ours, Floor floor) {
  Session& s = session();
  std::vector<double> oursTimes;
  std::vector<double> floorTimes;
  Counter n;
  s.timed = 0;
  for (auto _ : state) {
    const bool oursFirst = oursTimes.size() % 2 == 0;
    double a = 0;
    double b = 0;
    if (oursFirst) a = ours(s);
    b = floor(s, n);
    if (!oursFirst) a = ours(s);
    if (a < 0 || b < 0) {
      state.SkipWithError("the field was not found or not written");
      break;
    }
    oursTimes.push_back(a);
    floorTimes.push_back(b);
  }
  restore(s.field);
  s.slot.clear();
  const double count = static_cast<double>(std::max<std::size_t>(oursTimes.size(), 1));
  const double oursMedian = median(oursTimes);
  const double floorMedian = median(floorTimes);
  state.counters["ours_us"] = oursMedian;
  state.counters["floor_us"] = floorMedian;
  state.counters["ratio"] = floorMedian > 0 ? oursMedian / floorMedian : 0;
  state.counters["requests"] = static_cast<double>(s.timed) / count;
  state.counters["floor_requests"] = static_cast<double>(n.made) / count;
}

void BM_Capture(benchmark::State& state) {
  paired(state, oursCapture, floorCapture);
}

void BM_Insert(benchmark::State& state) {
  paired(state, oursInsert, floorInsert);
}

// Parts of what the program adds, for the breakdown: the permission check (a round trip to
// the X server and the registry's request, which the floor makes too) and the frontmost
// application (the X11 lookups and the executable's name).
void BM_PermissionCheck(benchmark::State& state) {
  Session& s = session();
  for (auto _ : state) benchmark::DoNotOptimize(s.platform.isProcessTrusted());
}

void BM_FrontmostApplication(benchmark::State& state) {
  Session& s = session();
  for (auto _ : state) benchmark::DoNotOptimize(s.platform.frontmostApplication());
}

BENCHMARK(BM_PermissionCheck)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrontmostApplication)->UseRealTime()->Unit(benchmark::kMicrosecond);
// Each iteration is one operation on each side (and, for insert, the untimed capture and
// restoring of the field), so the iteration time itself is not a figure to read.
BENCHMARK(BM_Capture)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace caretsafe::linux_desktop

BENCHMARK_MAIN();
