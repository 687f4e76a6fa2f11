// Converter cost on the capture thread: time per 4096-frame call to 48 kHz
// mono float from 44.1 kHz mono float (what the sound server's streams give:
// the sinc resampler) and from 44.1 kHz stereo int16 (the FFmpeg module's
// converter), and heap allocations per call once warm (must be 0). malloc is wrapped in this executable to count them.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/audio/audio_converter.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

static long allocations = 0;
void* malloc(size_t size) { ++allocations; return __libc_malloc(size); }
void* calloc(size_t count, size_t size) { ++allocations; return __libc_calloc(count, size); }
void* realloc(void* old, size_t size) { ++allocations; return __libc_realloc(old, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  ++allocations;
  *out = __libc_memalign(alignment, size);
  return *out ? 0 : 12;
}
void* aligned_alloc(size_t alignment, size_t size) { ++allocations; return __libc_memalign(alignment, size); }
void* memalign(size_t alignment, size_t size) { ++allocations; return __libc_memalign(alignment, size); }
}

namespace {

using namespace orvane;

// Times kCalls calls; false when a warm call allocated.
bool measure(const AudioFormat& from) {
  constexpr uint32_t kFrames = 4096;
  constexpr int kWarmCalls = 50;
  constexpr int kCalls = 5000;
  const AudioFormat to = AudioFormat::standard(48000, 1);
  const long created = allocations;
  auto converter = AudioConverter::create(from, to, {kFrames, kFrames * 2});
  auto input = PcmBuffer::create(from, kFrames);
  auto output = PcmBuffer::create(to, kFrames * 2);
  if (!converter || !input || !output) return false;
  for (uint32_t i = 0; i < kFrames * from.channelCount; ++i) {
    const double value = 0.3 * std::sin(i * 0.07);
    if (from.sampleType == SampleType::int16) reinterpret_cast<int16_t*>(input->plane(0))[i] = int16_t(value * 32767);
    else reinterpret_cast<float*>(input->plane(0))[i] = float(value);
  }
  input->setFrameLength(kFrames);
  for (int i = 0; i < kWarmCalls; ++i) converter->convert(*input, *output);

  const long before = allocations;  // creation and warm-up allocate; counted to show the wrap works
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) converter->convert(*input, *output);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long allocated = allocations - before;
  std::printf("convert %s -> 48k mono float, %u frames: %.1f us/call, %.0fx real time\n", from.describe().c_str(),
              kFrames, seconds / kCalls * 1e6, kCalls * double(kFrames) / 44100 / seconds);
  std::printf("heap allocations: %ld while creating and warming up, %ld in %d warm calls\n", before - created,
              allocated, kCalls);
  return allocated == 0;
}

}  // namespace

int main() {
  const bool server = measure(AudioFormat::standard(44100, 1));
  const bool other = measure(AudioFormat{44100, 2, SampleType::int16, true});
  return server && other ? 0 : 2;
}
