// Permissions: may the helper record the microphone and the system audio?
// Abstract because the answer comes from the sound server in the product
// and from a script in tests.
#pragma once

#include <functional>

namespace orvane {

// Numeric values as hosts know them: 0 not determined, 1 restricted,
// 2 denied, 3 authorized.
enum class MicAuthorization : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };
// A status outside 0...3, read by hosts as "unknown": nobody could be asked
// (no sound server answers), which says nothing about permission.
inline constexpr int kMicStatusUnknown = -1;

class Permissions {
 public:
  virtual ~Permissions() = default;
  // Never prompts.
  virtual int microphoneStatus() = 0;
  // Calls `answer` exactly once, on a thread other than the caller's.
  virtual void requestMicrophone(std::function<void(bool granted)> answer) = 0;
  // Never prompts.
  virtual bool preflightSystemAudio() = 0;
  virtual bool requestSystemAudio() = 0;
};

}  // namespace orvane
