// Test-only entry: the real entry sequence against a scripted backend.
// Usage: orvane-capture-sim [--scenario <file.json>] <the helper's own arguments>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/entry.h"
#include "support/sim_backend.h"

int main(int argc, char** argv) {
  orvane::sim::Scenario scenario;
  if (argc >= 3 && std::strcmp(argv[1], "--scenario") == 0) {
    try {
      scenario = orvane::sim::Scenario::fromJson(nlohmann::json::parse(std::ifstream(argv[2])));
    } catch (const std::exception& error) {
      std::cerr << "bad scenario " << argv[2] << ": " << error.what() << "\n";
      return 64;
    }
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  // The backend lives until the process exits, like the recorder that uses it.
  return orvane::runMain(argc, argv, *new orvane::sim::SimBackend(std::move(scenario)));
}
