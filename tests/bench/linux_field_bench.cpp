// Capture and insert on a real GTK 3 entry, each beside its floor: the same AT-SPI requests
// made straight through libatspi in a loop, with nothing around them. What the program adds
// is its own work (the request line, the X11 lookups of the frontmost application, the
// fingerprint, the record) on top of requests that any helper doing this job must make.
//
// Run by scripts/bench/linux_bench.py, which starts a test desktop and the GTK 3 test
// application with its entry focused; every iteration finds the entry holding "hello world"
// with the caret after "hello" (restored outside the timing after an insert).
//
//   BM_Capture         a "capture" line through the request loop's answer, on the adapter
//   BM_CaptureFloor    its AT-SPI requests in the adapter's order: the registry (the
//                      permission check), the focused-element lookup, the field's attributes
//   BM_Insert          an "insert" line for a fresh capture (made outside the timing)
//   BM_InsertFloor     its AT-SPI requests: registry, lookup, attributes, the write and the
//                      read-back
// The counter "requests" is the number of requests to the application per iteration: the
// adapter's as its request observer saw them, the floor's as it made them.

#include <atspi/atspi.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/request_loop.h"
#include "insertion/target.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x11_windows.h"

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
  std::size_t observed = 0;
};

void check(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

Field findField(LinuxPlatform& platform) {
  check(platform.isProcessTrusted(), "the desktop is not trusted");
  x11::XDisplay* display = platform.x11().display();
  const std::optional<Pid> pid = x11::activePid(display);
  check(pid.has_value(), "no active window");

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
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (app == nullptr) continue;
    if (static_cast<Pid>(atspi_accessible_get_process_id(app, nullptr)) == *pid) {
      field.root = app;
    } else {
      g_object_unref(app);
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

// The focused-element lookup: the root's windows up to the active one, its state, one match.
AtspiAccessible* lookup(const Field& field, Counter& n) {
  benchmark::DoNotOptimize(atspi_accessible_get_child_count(field.root, nullptr));
  ++n.made;
  AtspiAccessible* found = nullptr;
  for (gint w = 0; w <= field.window; ++w) {
    AtspiAccessible* window = atspi_accessible_get_child_at_index(field.root, w, nullptr);
    ++n.made;
    AtspiStateSet* states = atspi_accessible_get_state_set(window);
    ++n.made;
    if (w == field.window) {
      AtspiCollection* collection = atspi_accessible_get_collection(window);
      GArray* matches = atspi_collection_get_matches(
          collection, field.rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, nullptr);
      ++n.made;
      if (matches != nullptr) {
        if (matches->len > 0) found = g_array_index(matches, AtspiAccessible*, 0);
        g_array_free(matches, TRUE);
      }
      g_object_unref(collection);
    }
    g_object_unref(states);
    g_object_unref(window);
  }
  return found;
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

double perIteration(const benchmark::State& state, std::size_t total) {
  return static_cast<double>(total) /
         static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

void BM_Capture(benchmark::State& state) {
  Session& s = session();
  std::size_t before = s.observed;
  for (auto _ : state) {
    const std::optional<std::string> answer =
        answerLine(R"({"action":"capture"})", s.platform, s.slot);
    if (!answer || answer->find("\"token\"") == std::string::npos) {
      state.SkipWithError("capture refused");
      break;
    }
  }
  state.counters["requests"] = perIteration(state, s.observed - before);
  s.slot.empty();
}

void BM_CaptureFloor(benchmark::State& state) {
  Session& s = session();
  Counter n;
  for (auto _ : state) {
    registry();
    AtspiAccessible* element = lookup(s.field, n);
    if (element == nullptr) {
      state.SkipWithError("nothing focused");
      break;
    }
    inspect(element, n);
    g_object_unref(element);
  }
  state.counters["requests"] = perIteration(state, n.made);
}

void BM_Insert(benchmark::State& state) {
  Session& s = session();
  std::size_t counted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    restore(s.field);
    const std::optional<std::string> captured =
        answerLine(R"({"action":"capture"})", s.platform, s.slot);
    const std::size_t at = captured ? captured->find("\"token\":\"") : std::string::npos;
    if (at == std::string::npos) {
      state.SkipWithError("capture refused");
      break;
    }
    const std::string token = captured->substr(at + 9, 36);
    const std::string line = R"({"action":"insert","text":"Z","token":")" + token + "\"}";
    const std::size_t before = s.observed;
    state.ResumeTiming();
    const std::optional<std::string> answer = answerLine(line, s.platform, s.slot);
    state.PauseTiming();
    counted += s.observed - before;
    if (!answer || *answer != R"({"ok":true})") {
      state.SkipWithError("insert not confirmed");
      break;
    }
    state.ResumeTiming();
  }
  restore(s.field);
  state.counters["requests"] = perIteration(state, counted);
}

void BM_InsertFloor(benchmark::State& state) {
  Session& s = session();
  Counter n;
  for (auto _ : state) {
    state.PauseTiming();
    restore(s.field);
    state.ResumeTiming();
    registry();
    AtspiAccessible* element = lookup(s.field, n);
    if (element == nullptr) {
      state.SkipWithError("nothing focused");
      break;
    }
    inspect(element, n);
    write(element, "Z", n);
    g_object_unref(element);
  }
  restore(s.field);
  state.counters["requests"] = perIteration(state, n.made);
}

BENCHMARK(BM_Capture)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CaptureFloor)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InsertFloor)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace caretsafe::linux_desktop

BENCHMARK_MAIN();
