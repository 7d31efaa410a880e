// Processor feature detection.
#include "base/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace zelkord::base {
namespace {

bool DetectPrefetchForWrite() {
#if defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(0x80000001, &a, &b, &c, &d) != 0 && (c & bit_PRFCHW) != 0;
#else
  return false;
#endif
}

}  // namespace

const bool kHasPrefetchForWrite = DetectPrefetchForWrite();

}  // namespace zelkord::base
