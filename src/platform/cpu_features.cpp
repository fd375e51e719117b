#include "platform/cpu_features.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zelkit::platform {

namespace {

struct Features {
  bool aes = false;
  bool sha = false;
};

Features probe() {
  Features features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  features.aes = ssse3 && (ecx & bit_AES) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) features.sha = ssse3 && sse41 && (ebx & bit_SHA) != 0;
#endif
  return features;
}

const Features& features() {
  static const Features probed = probe();
  return probed;
}

std::atomic<bool> useExtensions{true};

}  // namespace

bool cpuHasAesInstructions() { return features().aes && useExtensions.load(std::memory_order_relaxed); }

bool cpuHasShaInstructions() { return features().sha && useExtensions.load(std::memory_order_relaxed); }

void cpuUseInstructionExtensions(bool use) { useExtensions.store(use, std::memory_order_relaxed); }

}  // namespace zelkit::platform
