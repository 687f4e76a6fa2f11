// PulseScreenCapture: system audio as the monitor of an output sink. The
// "displays" are the server's sinks, the default one first.
#pragma once

#include "platform/system_audio_stream.h"

namespace orvane {

class PulseScreenCapture : public ScreenCapture {
 public:
  // Any thread; each call asks the server anew.
  bool preflightAccess() override;
  bool requestAccess() override;
  Result<std::vector<Display>> shareableDisplays() override;
  std::unique_ptr<SystemAudioStream> makeStream(const Display& display, const StreamConfiguration& configuration,
                                                StreamDelegate& delegate) override;
};

}  // namespace orvane
