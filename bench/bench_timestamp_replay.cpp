// Replays recorded chunk stamps through the time-stamp model, so that the
// model can be judged and tuned on real deliveries without recording again:
// reads files written by `bench_pulse_timestamps --dump` and prints, for each,
// the worst 120 s window of the stamps the model publishes now, beside what it
// published when recorded and the raw stamps.
//
//   bench_timestamp_replay RATE DUMP...
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/pulse/timestamp_model.h"
#include "stamp_windows.h"

using namespace orvane;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s RATE DUMP...\n", argv[0]);
    return 2;
  }
  const double rate = std::atof(argv[1]);
  std::printf("%-40s %17s %17s %17s\n", "", "replayed fit/f-l", "recorded fit/f-l", "raw fit/f-l");
  for (int i = 2; i < argc; ++i) {
    FILE* in = std::fopen(argv[i], "r");
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    std::vector<StampSample> recorded;
    long long frame = 0;
    double raw = 0, published = 0;
    while (std::fscanf(in, "%lld %lf %lf", &frame, &raw, &published) == 3) recorded.push_back({frame, raw, published});
    std::fclose(in);
    TimestampModel model(rate);
    std::vector<StampSample> replayed = recorded;
    for (auto& s : replayed) s.published = model.publish(s.frame, s.raw);
    const WorstWindow now = worstStampWindows(replayed, rate, &StampSample::published);
    const WorstWindow then = worstStampWindows(recorded, rate, &StampSample::published);
    const WorstWindow rawWorst = worstStampWindows(recorded, rate, &StampSample::raw);
    std::printf("%-40s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f  restarts %lld  losses %lld (last %.1f ms)\n", argv[i],
                now.fitPpm, now.endpointPpm, then.fitPpm, then.endpointPpm, rawWorst.fitPpm, rawWorst.endpointPpm,
                static_cast<long long>(model.restartCount()), static_cast<long long>(model.stepCount()),
                model.lastStepSeconds() * 1000);
  }
  return 0;
}
