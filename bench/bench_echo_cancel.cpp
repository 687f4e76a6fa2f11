// Echo-canceller figures. The material is far-end and near-end speech in two
// voices, laid out in spans: far end alone, near end alone, both at once, far
// end alone again (scheduleMaterial below).
//   schedule <far.wav> <near.wav> <outdir>        writes outdir/far.wav and outdir/near.wav, the laid-out
//                                                 signals a real rig plays into the speakers and the microphone
//   simulate <far.wav> <near.wav> [key=value...]  a synthetic echo path (-10 dB, 60 ms, a room's tail, a
//                                                 move to 180 ms at 36 s); runs the canceller and scores it
//   score <near.wav> <raw.wav> <processed.wav> [switch_seconds]
//                                                 scores a real recording: raw and processed microphone
//                                                 (channel 0 of each file), the near end found in both by
//                                                 correlation
//   replay <near.wav> <raw.wav> [switch_seconds] [key=value...]
//                                                 runs the canceller over a recording made without voice
//                                                 processing (microphone on channel 0, system audio on 1)
// Keys: suppression=0..2 extended=0|1 agnostic=0|1 ns=0|1 hp=0|1 delay2=<ms> chunk=<frames>,
// and of double talk (finalize/double_talk.h) mix=<share, 0 off> passed=<dB> above=<dB> hold=<blocks>.
// Figures: ERLE over the far-end-only spans after 5 s, near end in double
// talk (attenuation of its least-squares gain, the near end found again in
// that span: the echo is not like it, so it leaves the gain alone), near end
// alone (level change), and after the move the time until every voiced
// second is back to 25 dB.
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "finalize/echo_canceller.h"

using namespace orvane;

namespace {

constexpr int kRate = 48000;
using Signal = std::vector<float>;

struct Span {
  double from, to;  // seconds on the schedule
};
// far alone, near alone, both, far alone (with the echo path's move at 36 s)
const Span kFarOnly[] = {{0, 14}, {32, 48}};
const Span kNearOnly = {14, 22};
const Span kBoth = {22, 32};
constexpr double kTotal = 48;
constexpr double kSwitch = 36;

Signal readChannel(const std::string& path, int channel) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) std::fprintf(stderr, "cannot read %s\n", path.c_str()), std::exit(1);
  std::vector<float> all(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(file, all.data(), info.frames);
  sf_close(file);
  Signal out(info.frames);
  for (sf_count_t i = 0; i < info.frames; ++i) out[i] = all[i * info.channels + std::min(channel, info.channels - 1)];
  if (info.samplerate != kRate) std::fprintf(stderr, "%s is not 48 kHz\n", path.c_str()), std::exit(1);
  return out;
}

Signal readChannel0(const std::string& path) { return readChannel(path, 0); }

void writeWav(const std::string& path, const Signal& signal) {
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  sf_writef_float(file, signal.data(), static_cast<sf_count_t>(signal.size()));
  sf_close(file);
}

size_t at(double seconds) { return static_cast<size_t>(seconds * kRate); }

// Copies `seconds` of `from` (looping) to `to` at `start`.
void place(Signal& to, const Signal& from, double start, double seconds, size_t& cursor) {
  for (size_t i = at(start); i < at(start + seconds); ++i) to[i] = from[cursor++ % from.size()];
}

std::pair<Signal, Signal> scheduleMaterial(const Signal& far, const Signal& near) {
  Signal f(at(kTotal)), n(at(kTotal));
  size_t farCursor = 0, nearCursor = 0;
  place(f, far, 0, 14, farCursor);
  place(n, near, 14, 8, nearCursor);
  place(f, far, 22, 10, farCursor);
  place(n, near, 22, 10, nearCursor);
  place(f, far, 32, 16, farCursor);
  return {f, n};
}

// The echo: the far end at -10 dB after `delay`, with a room's decaying tail.
Signal echoPath(const Signal& far, double delayMs, double delay2Ms) {
  std::mt19937 random(3);
  std::normal_distribution<double> tap(0, 1);
  std::vector<double> response(at(0.05));
  response[0] = 1;
  for (size_t k = 1; k < response.size(); ++k) response[k] = 0.25 * tap(random) * std::exp(-double(k) / at(0.012));
  double norm = 0;
  for (double h : response) norm += h * h;
  for (double& h : response) h *= 0.316 / std::sqrt(norm);
  Signal echo(far.size());
  for (size_t i = 0; i < far.size(); ++i) {
    const size_t delay = at((i < at(kSwitch) ? delayMs : delay2Ms) / 1000);
    double sum = 0;
    for (size_t k = 0; k < response.size(); k += 1) {
      if (i >= delay + k) sum += response[k] * far[i - delay - k];
    }
    echo[i] = static_cast<float>(sum);
  }
  return echo;
}

double energy(const Signal& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < std::min(to, s.size()); ++i) sum += double(s[i]) * s[i];
  return sum;
}

double dot(const Signal& a, const Signal& b, size_t from, size_t to, long shift) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) {
    const long j = long(i) - shift;
    if (j >= 0 && size_t(j) < b.size() && i < a.size()) sum += double(a[i]) * b[j];
  }
  return sum;
}

double dB(double ratio) { return 10 * std::log10(ratio); }

// Where `near` (on the schedule) starts in `mic`, found over span `s`: coarse
// over ±3 s on 1 ms means, then exact to the sample.
long findShift(const Signal& mic, const Signal& near, const Span& s = kNearOnly) {
  auto decimate = [](const Signal& s) {
    Signal d(s.size() / 48);
    for (size_t i = 0; i < d.size(); ++i) {
      for (size_t k = 0; k < 48; ++k) d[i] += s[i * 48 + k];
    }
    return d;
  };
  const Signal dm = decimate(mic), dn = decimate(near);
  long best = 0;
  double bestValue = -1;
  for (long lag = -3000; lag <= 3000; ++lag) {
    const double v = std::fabs(dot(dm, dn, size_t(s.from * 1000) + 3000, size_t(s.to * 1000) - 3000, lag));
    if (v > bestValue) bestValue = v, best = lag;
  }
  long exact = best * 48;
  bestValue = -1;
  for (long lag = best * 48 - 480; lag <= best * 48 + 480; ++lag) {
    const double v = dot(mic, near, at(s.from) + at(1), at(s.to) - at(1), lag);
    if (v > bestValue) bestValue = v, exact = lag;
  }
  return exact;
}

struct Figures {
  double erle, doubleTalk, nearAlone, recovery;
};

// `raw` and `out` are microphone signals on which the schedule starts at
// `shift`; a quarter second at each span's edges is left out.
Figures scoreSignals(const Signal& near, const Signal& raw, long rawShift, const Signal& out, long outShift,
                     double switchAt) {
  auto span = [](const Span& s, long shift, double startAfter = 0) {
    return std::pair<size_t, size_t>{at(std::max(s.from, startAfter) + 0.25) + shift, at(s.to - 0.25) + shift};
  };
  double rawEcho = 0, outEcho = 0;
  for (const Span& s : kFarOnly) {
    auto [rf, rt] = span(s, rawShift, 5);
    auto [of, ot] = span(s, outShift, 5);
    rawEcho += energy(raw, rf, rt);
    outEcho += energy(out, of, ot);
  }
  Figures f{};
  f.erle = dB(rawEcho / outEcho);
  // The near end's gain in double talk, where the echo is not like it. A
  // recording may have slipped between the spans (a device's dropout), so
  // the near end is found again in this one.
  const long rawBoth = findShift(raw, near, kBoth), outBoth = findShift(out, near, kBoth);
  auto [rb, re] = span(kBoth, rawBoth);
  auto [ob, oe] = span(kBoth, outBoth);
  const double nn = dot(near, near, at(kBoth.from), at(kBoth.to), 0);
  const double gainRaw = dot(raw, near, rb, re, rawBoth) / nn, gainOut = dot(out, near, ob, oe, outBoth) / nn;
  f.doubleTalk = 20 * std::log10(gainRaw / gainOut);
  if (getenv("EC_TRACE")) {
    std::printf("near-end gain in double talk: raw %.4f, processed %.4f (found at %.4f, %.4f s)\n", gainRaw, gainOut,
                double(rawBoth) / kRate, double(outBoth) / kRate);
  }
  auto [rn, rne] = span(kNearOnly, rawShift);
  auto [on, one] = span(kNearOnly, outShift);
  f.nearAlone = dB(energy(raw, rn, rne) / energy(out, on, one));
  // Seconds after the move until every following voiced second holds 25 dB.
  f.recovery = 0;
  for (double t = switchAt; t + 1 <= kFarOnly[1].to; t += 0.1) {
    const double r = energy(raw, at(t) + rawShift, at(t + 1) + rawShift);
    const double o = energy(out, at(t) + outShift, at(t + 1) + outShift);
    if (r > 1e-3 * at(1) * 1e-4 && dB(r / o) < 25) f.recovery = t + 1 - switchAt;
  }
  return f;
}

void print(const Figures& f) {
  // The double-talk figure less the near-alone one: a canceller that makes
  // the whole microphone louder or quieter is not credited or charged twice.
  std::printf("erle_far_only_dB %.1f  double_talk_attenuation_dB %.2f  near_only_change_dB %.2f  "
              "recovery_after_move_s %.1f  double_talk_vs_near_alone_dB %.2f\n",
              f.erle, f.doubleTalk, f.nearAlone, f.recovery, f.doubleTalk - f.nearAlone);
}

EchoCancellerSettings settingsFrom(std::map<std::string, double> keys) {
  EchoCancellerSettings settings;
  if (keys.count("suppression")) settings.suppression = int(keys["suppression"]);
  if (keys.count("extended")) settings.extendedFilter = keys["extended"] != 0;
  if (keys.count("agnostic")) settings.libraryDelaySearch = keys["agnostic"] != 0;
  if (keys.count("ns")) settings.noiseSuppression = keys["ns"] != 0;
  if (keys.count("hp")) settings.highPass = keys["hp"] != 0;
  if (keys.count("mix")) settings.doubleTalk.mix = float(keys["mix"]);
  if (keys.count("passed")) settings.doubleTalk.passedDb = keys["passed"];
  if (keys.count("above")) settings.doubleTalk.aboveEchoDb = keys["above"];
  if (keys.count("hold")) settings.doubleTalk.holdBlocks = int(keys["hold"]);
  return settings;
}

// The canceller over `mic` with `system` as the reference, in calls of `chunk` frames.
Signal run(const Signal& mic, const Signal& system, const EchoCancellerSettings& settings, uint32_t chunk) {
  auto canceller = EchoCanceller::create(settings);
  if (!canceller) std::fprintf(stderr, "%s\n", canceller.error().description.c_str()), std::exit(1);
  Signal out(mic.size()), systemOut(mic.size());
  size_t given = 0;
  for (size_t i = 0; i < out.size(); i += chunk) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(chunk, out.size() - i));
    given += canceller.value()->process(mic.data() + i, system.data() + i, frames, out.data() + given,
                                        systemOut.data() + given, chunk);
    if (getenv("EC_TRACE")) std::printf("%.2f s delay %.0f ms\n", double(i) / kRate,
                                        canceller.value()->echoDelayMs().value_or(-1));
  }
  while (uint32_t n = canceller.value()->drain(out.data() + given, systemOut.data() + given, chunk)) given += n;
  if (given != out.size() || systemOut != system) std::printf("OUT OF STEP: %zu of %zu frames\n", given, out.size());
  return out;
}

std::map<std::string, double> keysFrom(int argc, char** argv, int first) {
  std::map<std::string, double> keys;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) keys[arg.substr(0, eq)] = std::atof(arg.substr(eq + 1).c_str());
  }
  return keys;
}

int simulate(const Signal& far, const Signal& near, std::map<std::string, double> keys) {
  auto [f, n] = scheduleMaterial(far, near);
  const EchoCancellerSettings settings = settingsFrom(keys);
  const double delay2 = keys.count("delay2") ? keys["delay2"] : 180;
  const auto chunk = static_cast<uint32_t>(keys.count("chunk") ? keys["chunk"] : 8160);
  const Signal echo = echoPath(f, keys.count("delay1") ? keys["delay1"] : 60, delay2);
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0, 3e-4f);  // about -70 dBFS
  Signal mic(f.size());
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = n[i] + echo[i] + noise(random);
  const auto begin = std::chrono::steady_clock::now();
  const Signal out = run(mic, f, settings, chunk);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  print(scoreSignals(n, mic, 0, out, 0, kSwitch));
  std::printf("cpu_share_of_one_core %.2f%%\n", 100 * seconds / kTotal);
  if (getenv("EC_DUMP")) writeWav(std::string(getenv("EC_DUMP")) + "/sim_raw.wav", mic),
                         writeWav(std::string(getenv("EC_DUMP")) + "/sim_out.wav", out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "schedule" && argc == 5) {
    auto [f, n] = scheduleMaterial(readChannel0(argv[2]), readChannel0(argv[3]));
    writeWav(std::string(argv[4]) + "/far.wav", f);
    writeWav(std::string(argv[4]) + "/near.wav", n);
    return 0;
  }
  if (mode == "simulate" && argc >= 4) {
    return simulate(readChannel0(argv[2]), readChannel0(argv[3]), keysFrom(argc, argv, 4));
  }
  if (mode == "score" && argc >= 5) {
    const Signal near = readChannel0(argv[2]), raw = readChannel0(argv[3]), out = readChannel0(argv[4]);
    const long rawShift = findShift(raw, near), outShift = findShift(out, near);
    std::printf("near end found at %.4f s (raw) and %.4f s (processed)\n", double(rawShift) / kRate,
                double(outShift) / kRate);
    print(scoreSignals(near, raw, rawShift, out, outShift, argc > 5 ? std::atof(argv[5]) : kSwitch));
    return 0;
  }
  if (mode == "replay" && argc >= 4) {
    const Signal near = readChannel0(argv[2]), raw = readChannel(argv[3], 0), system = readChannel(argv[3], 1);
    const Signal out = run(raw, system, settingsFrom(keysFrom(argc, argv, 4)), 8160);
    const long shift = findShift(raw, near);
    print(scoreSignals(near, raw, shift, out, shift, argc > 4 && std::atof(argv[4]) > 0 ? std::atof(argv[4]) : kSwitch));
    return 0;
  }
  std::fprintf(stderr, "usage: see the top of bench_echo_cancel.cpp\n");
  return 2;
}
