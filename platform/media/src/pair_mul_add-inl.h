// Per-target helper for the media layer's Highway kernels: included once per
// instruction set by each kernel file, after <hwy/highway.h>, hence the
// toggled guard instead of #pragma once.
#if defined(VANTREL_MEDIA_PAIR_MUL_ADD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VANTREL_MEDIA_PAIR_MUL_ADD_INL_H_
#undef VANTREL_MEDIA_PAIR_MUL_ADD_INL_H_
#else
#define VANTREL_MEDIA_PAIR_MUL_ADD_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantrel::media::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// acc lane j += a[2j] b[2j] + a[2j+1] b[2j+1] (16-bit lanes in, 32-bit out),
// exact in 32 bits: one multiply-add instruction on x86.
template <class D32, class V16>
HWY_INLINE hn::Vec<D32> PairMulAdd(D32 d32, V16 a, V16 b, hn::Vec<D32> acc) {
#if HWY_ARCH_X86
  auto unused = hn::Zero(d32);
  return hn::ReorderWidenMulAccumulate(d32, a, b, acc, unused);
#else
  const auto a32 = hn::BitCast(d32, a), b32 = hn::BitCast(d32, b);
  const auto lo = hn::Mul(hn::ShiftRight<16>(hn::ShiftLeft<16>(a32)), hn::ShiftRight<16>(hn::ShiftLeft<16>(b32)));
  return hn::Add(acc, hn::Add(lo, hn::Mul(hn::ShiftRight<16>(a32), hn::ShiftRight<16>(b32))));
#endif
}
#endif

}  // namespace vantrel::media::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // VANTREL_MEDIA_PAIR_MUL_ADD_INL_H_
