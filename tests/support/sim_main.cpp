// Test-only entry: the real entry sequence against a scripted backend.
// Usage: orvane-capture-sim [--scenario <file.json>] <the helper's own arguments>
#include <cstring>
#include <fstream>
#include <iostream>

#include "cli/entry.h"
#include "support/sim_backend.h"

int main(int argc, char** argv) {
  nlohmann::json scenario = nlohmann::json::object();
  if (argc >= 3 && std::strcmp(argv[1], "--scenario") == 0) {
    std::ifstream in(argv[2]);
    if (!in) {
      std::cerr << "cannot read scenario " << argv[2] << "\n";
      return 64;
    }
    try {
      scenario = nlohmann::json::parse(in);
    } catch (const std::exception& error) {
      std::cerr << "bad scenario " << argv[2] << ": " << error.what() << "\n";
      return 64;
    }
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  orvane::sim::Scenario parsed;
  try {
    parsed = orvane::sim::Scenario::fromJson(scenario);
  } catch (const std::exception& error) {
    std::cerr << "bad scenario: " << error.what() << "\n";
    return 64;
  }
  // Lives until the process exits, like the recorder that uses it.
  auto* backend = new orvane::sim::SimBackend(std::move(parsed));
  return orvane::runMain(argc, argv, *backend);
}
