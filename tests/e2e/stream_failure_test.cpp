// Standard input and output that fail or are not ready, through the real binaries: a read
// error ends the input, a pipe that is not ready is waited for, and no answer is cut short.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child.h"

namespace caretsafe {
namespace {

using nlohmann::json;
using testing::Child;
using testing::ChildInput;

int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::vector<std::string>& binaries() {
  static const std::vector<std::string> all = {testing::simBinary(), testing::realBinary()};
  return all;
}

const std::string kStatusLine = "{\"action\":\"status\",\"requestId\":1}\n";

TEST(StreamFailure, UnreadableInputIsTheEndOfInput) {
  for (const std::string& binary : binaries()) {
    for (const ChildInput input : {ChildInput::kClosed, ChildInput::kDirectory}) {
      SCOPED_TRACE(binary + (input == ChildInput::kClosed ? " with stdin closed" : " < /"));
      Child c(binary, {"caretsafe"}, {}, input);
      EXPECT_EQ(c.readAll(), "");
      EXPECT_EQ(exitCode(c.wait()), 0);
      EXPECT_EQ(c.errors(), "");
    }
  }
}

TEST(StreamFailure, InputTurnedNonBlockingIsWaitedFor) {
  for (const std::string& binary : binaries()) {
    SCOPED_TRACE(binary);
    Child c(binary, {"caretsafe"}, {}, ChildInput::kPipe, /*keepEnds=*/true);
    c.write(kStatusLine);
    ASSERT_TRUE(c.readLine().has_value());
    c.makeChildInputNonBlocking();
    // Each pause leaves the child reading an empty non-blocking pipe.
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      c.write(kStatusLine);
      EXPECT_TRUE(c.readLine().has_value()) << "line " << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.closeStdin();
    EXPECT_EQ(c.readAll(), "");
    EXPECT_EQ(exitCode(c.wait()), 0);
    EXPECT_EQ(c.errors(), "");
  }
}

TEST(StreamFailure, NonBlockingOutputReadSlowlyGetsEveryAnswerWhole) {
  constexpr int kLines = 24;
  const std::string filler(50'000, 'x');  // each answer is larger than half a pipe's buffer
  for (const std::string& binary : binaries()) {
    SCOPED_TRACE(binary);
    Child c(binary, {"caretsafe"}, {}, ChildInput::kPipe, /*keepEnds=*/true);
    c.makeChildOutputNonBlocking();
    // The requests go in from another thread: the child stops reading while its output is
    // full, and the test reads that output only slowly.
    std::thread writer([&] {
      for (int i = 0; i < kLines; ++i) {
        c.write(json{{"action", "status"}, {"requestId", filler + std::to_string(i)}}.dump() +
                "\n");
      }
      c.closeStdin();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < kLines; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const auto line = c.readLine();
      ASSERT_TRUE(line.has_value()) << "answer " << i << " missing";
      const json answer = json::parse(*line, nullptr, /*allow_exceptions=*/false);
      ASSERT_FALSE(answer.is_discarded()) << "answer " << i << " is not whole";
      EXPECT_EQ(answer.value("requestId", ""), filler + std::to_string(i));
    }
    writer.join();
    EXPECT_EQ(c.readAll(), "");
    EXPECT_EQ(exitCode(c.wait()), 0);
    EXPECT_EQ(c.errors(), "");
  }
}

TEST(StreamFailure, OutputGoneEndsTheProcess) {
  for (const std::string& binary : binaries()) {
    SCOPED_TRACE(binary);
    Child c(binary, {"caretsafe"});
    c.closeOutput();
    c.write(kStatusLine);  // its answer cannot arrive: the child stops instead of going on
    EXPECT_EQ(exitCode(c.wait()), 1);
    EXPECT_EQ(c.errors(), "");
  }
}

}  // namespace
}  // namespace caretsafe
