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
    scenario = nlohmann::json::parse(in);
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  auto* backend = new orvane::sim::SimBackend(orvane::sim::Scenario::fromJson(scenario));
  return orvane::runMain(argc, argv, *backend);
}
