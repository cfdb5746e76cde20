#include "support/floating_point.h"

namespace ruxtrap {

namespace {
// Windows' defaults: all x87 exceptions masked, 53-bit precision, round to
// nearest; all SSE exceptions masked, no flags.
constexpr WORD kDefaultX87Control = 0x027F;
constexpr DWORD kDefaultMxcsr = 0x1F80;
constexpr DWORD kMxcsrFlags = 0x3F;
}  // namespace

DefaultFloatingPointScope::DefaultFloatingPointScope()
    : x87Control_(0), mxcsr_(0), sse_(IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != FALSE) {
  // fnstcw and fninit do not wait, so the pending exception does not fire.
  // fninit also empties the register stack, which a stack fault may have left
  // full; the fault's registers are in the exception's context.
  __asm__ volatile("fnstcw %0\n\tfninit" : "=m"(x87Control_));
  __asm__ volatile("fldcw %0" : : "m"(kDefaultX87Control));
  if (sse_) {
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr_));
    __asm__ volatile("ldmxcsr %0" : : "m"(kDefaultMxcsr));
  }
}

DefaultFloatingPointScope::~DefaultFloatingPointScope() {
  __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(x87Control_));
  if (sse_) {
    DWORD restored = mxcsr_ & ~kMxcsrFlags;
    __asm__ volatile("ldmxcsr %0" : : "m"(restored));
  }
}

}  // namespace ruxtrap
