// caretsafe: captures the text field the user works in and later inserts text at its caret,
// answering JSON request lines on standard input with JSON response lines on standard output.

#include <iostream>
#include <string_view>

#include "app/request_loop.h"
#include "app/self_test.h"
#include "platform/process_platform.h"

int main(int argc, char** argv) {
  // "--self-test" anywhere, the program's own name included, runs the self-test instead.
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::string_view(argv[i]) == "--self-test") caretsafe::runSelfTest();
  }

  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);

  const auto platform = caretsafe::makeProcessPlatform();
  caretsafe::TargetSlot target;  // empty before the first line; dropped before the platform
  caretsafe::runRequestLoop(*platform, target, std::cin, std::cout);
  return 0;
}
