// Fuzzing the argument parser: NUL-separated words as the command line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"orvane-capture"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(word);
  orvane::parseArgs(args);
  return 0;
}
