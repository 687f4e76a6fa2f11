// PulseAppAudio: the system audio restricted to the applications the host
// named: every playback stream (sink input) whose application name or process
// binary is one of them, on whatever sink it plays, as streams come, move and
// go. Each is recorded by a PulseRecordStream of its own on its sink's monitor,
// for that stream alone; their blocks are added into one mixing ring by their
// stamps, and the ring hands the part older than kMixHorizonSeconds on (later
// while a stream's blocks are late) as blocks stamped in host time: the
// streams' sinks may keep clocks of their own, and the track keeps the host's.
// While nothing matching plays, the ring hands on silence, so the track runs
// as long as the recording. On PipeWire a stream's own monitor takes its audio
// in the graph cycle the stream plays it, a cycle before the sink's monitor
// does, while both say the same of their timing: each stream's blocks are
// placed a cycle later, the cycle measured from its recording's write index
// (its first blocks held until it is known).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio_input.h"
#include "platform/pulse/cycle_gauge.h"
#include "platform/pulse/mixing_ring.h"
#include "platform/pulse/pulse_client.h"
#include "platform/pulse/pulse_record_stream.h"

namespace orvane {

class PulseAppAudio : public AudioInput {
 public:
  // A stream's block arrives well within this of its stamp (a fragment, 85 ms,
  // and the read pacing); the ring hands on only what is older.
  static constexpr double kMixHorizonSeconds = 0.5;
  // A stream whose blocks are later than that (a loop held up, a starved
  // helper's backlog) holds the ring back, up to what the server keeps for
  // it: a stream that stopped sending (corked) holds it no longer than that.
  static constexpr double kMostLateSeconds = kServerHoldSeconds;
  static constexpr double kRingSeconds = kMostLateSeconds + 1.0;
  // The ring hands on what is due at least this often (silence, a stream that
  // stopped sending), and on a stream's block once a fragment's worth is due;
  // on PulseAudio the tick waits while blocks come.
  // The ticks, which also read the recordings' write indexes on PipeWire, are
  // kTickSeconds apart on average, shorter and longer by kTickSpreadSeconds in
  // turn: readings at every phase of the graph's cycle measure it soonest.
  static constexpr double kTickSeconds = 0.25;
  static constexpr double kTickSpreadSeconds = 0.05;
  // On PipeWire a stream's first blocks are held until its cycle is known,
  // so that none is placed a cycle early and none a cycle apart from the
  // next: at most kCycleHoldSeconds after the stream was opened, without a
  // cycle if none was found (a graph at another rate). Meanwhile the ticks
  // come every kLearnTickSeconds (4-6 ms, less than most cycles: consecutive
  // readings lie one cycle apart or none), which measures the cycle within a
  // few of them. They are held while the stream's stamps settle (on its
  // earliest arrivals) too, for kSettleHoldSeconds (four fragments), and
  // placed together as the newest says. The ring stands still meanwhile,
  // and hands the time held on at once: a track's slots hold 2.7 s.
  static constexpr double kLearnTickSeconds = 0.005;
  static constexpr double kLearnTickSpreadSeconds = 0.001;
  static constexpr double kCycleHoldSeconds = 1.0;
  static constexpr double kSettleHoldSeconds = 0.35;

  // `names`: matched, ASCII case aside, against each playback stream's
  // application name and process binary.
  PulseAppAudio(std::shared_ptr<PulseClient> client, std::vector<std::string> names);
  ~PulseAppAudio() override;

  AudioFormat format() override { return AudioFormat::standard(kApplicationRate, 1); }
  void setBlockHandler(BlockHandler handler) override;
  void setChangeHandler(ChangeHandler handler) override;
  void setRoomCheck(RoomCheck check) override;
  // Records every matching playback stream not yet recorded (a recorded one
  // whose recording ended or whose sink changed is opened again) and lets go
  // of those that ended or no longer match. The first start begins the
  // ring's timeline. An error only when the server cannot be asked.
  Status start() override;
  void stop(double untilSeconds = 0) override;
  void cutAt(double untilSeconds) override;
  bool isRunning() const override { return running_.load(std::memory_order_relaxed); }

  // Frames of the streams that came too late (or too early) for the ring; for tests.
  int64_t framesMissed() const { return framesMissed_.load(std::memory_order_relaxed); }

 private:
  struct Playing {
    std::unique_ptr<PulseRecordStream> stream;
    uint32_t sinkInput = PA_INVALID_INDEX;  // loop lock; invalid while the place is free
    std::string label;                      // control_
    MixingRing::Lane lane;                  // loop thread
    CycleGauge cycle;                       // loop thread
    HeldBlocks held{static_cast<int64_t>((kCycleHoldSeconds + 0.5) * kApplicationRate)};  // loop thread
    bool settling = true;                   // loop thread: its last block's stamp may still move earlier
    double openedSeconds = 0;               // loop lock: when its recording was opened
  };
  bool matches(const char* applicationName, const char* processBinary) const;
  std::string namesText() const;
  Playing* findPlaying(uint32_t sinkInput);
  std::string playingLabels() const;  // control_ held
  std::string letGoOfEnded(const std::vector<PulseSinkInputInfo>& inputs, bool renewed);  // control_ held
  void recordNewMatches(const std::vector<PulseSinkInputInfo>& inputs);                  // control_ held
  void openPlaying(Playing& playing, const PulseSinkInputInfo& input);  // control_ held
  void closePlaying(Playing& playing, double untilSeconds = 0);         // control_ held
  bool beginRing();  // control_ held; true the first time
  template <class Handler>
  void replace(Handler& member, Handler handler);

  // Loop thread.
  void mixIn(Playing& playing, const PcmBuffer& block, const AudioTime& stamp);
  void add(Playing& playing, const float* samples, int64_t frames, double stampSeconds);
  void release(Playing& playing);
  double dueSeconds() const;
  void handOn(double untilSeconds, int64_t leastFrames);
  void fireChange();
  int64_t lateFrames(const Playing& playing) const;
  bool holding(const Playing& playing) const;
  bool learning(const Playing& playing) const;
  void tickIn(double seconds);
  static void onTick(pa_mainloop_api* api, pa_time_event* event, const timeval* when, void* self);
  static void onSinkInput(void* self, pa_subscription_event_type_t type, uint32_t index);
  static void onContextLost(void* self);
  static void onContextBack(void* self);

  const std::shared_ptr<PulseClient> client_;
  const std::vector<std::string> names_;
  std::mutex control_;  // every control call; taken before the loop lock
  // Grows under control_ and the loop lock when every place is taken; a
  // place is kept once made (its recording's handlers point at it) and
  // taken again by the next match.
  std::vector<std::unique_ptr<Playing>> playing_;

  // The ring and what it hands on: loop lock.
  BlockHandler handler_;
  ChangeHandler change_;
  RoomCheck room_;
  std::unique_ptr<MixingRing> ring_;  // made at the first start
  std::unique_ptr<PcmBuffer> block_;
  double cutSeconds_ = 0;     // nothing stamped from here on is handed on; 0: none
  pa_time_event* tick_ = nullptr;
  int ticks_ = 0;
  bool onPipeWire_ = false;  // set by each start, for the server it reached

  std::atomic<bool> running_{false};
  std::atomic<bool> wanted_{false};
  std::atomic<bool> serverLost_{false};  // since the last start
  std::atomic<int64_t> framesMissed_{0};
};

}  // namespace orvane
