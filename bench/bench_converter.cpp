// Converter cost on the capture thread: time per 4096-frame call from 44.1 kHz
// stereo int16 to 48 kHz mono float, and heap allocations per call once warm
// (must be 0). malloc is wrapped in this executable to count them.
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

int main() {
  using namespace orvane;
  constexpr uint32_t kFrames = 4096;
  constexpr int kWarmCalls = 50;
  constexpr int kCalls = 5000;
  const AudioFormat from{44100, 2, SampleType::int16, true};
  const AudioFormat to = AudioFormat::standard(48000, 1);
  auto converter = AudioConverter::create(from, to);
  auto input = PcmBuffer::create(from, kFrames);
  auto output = PcmBuffer::create(to, kFrames * 2);
  if (!converter || !input || !output) return 1;
  auto* samples = reinterpret_cast<int16_t*>(input->plane(0));
  for (uint32_t i = 0; i < kFrames * 2; ++i) samples[i] = int16_t(10000 * std::sin(i * 0.07));
  input->setFrameLength(kFrames);
  for (int i = 0; i < kWarmCalls; ++i) converter->convert(*input, *output);

  const long before = allocations;  // creation and warm-up allocate; counted to show the wrap works
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) converter->convert(*input, *output);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long allocated = allocations - before;
  std::printf("convert 44.1k stereo int16 -> 48k mono float, %u frames: %.1f us/call, %.0fx real time\n", kFrames,
              seconds / kCalls * 1e6, kCalls * double(kFrames) / 44100 / seconds);
  std::printf("heap allocations: %ld while creating and warming up, %ld in %d warm calls\n", before, allocated,
              kCalls);
  return allocated == 0 ? 0 : 2;
}
