#include "batch_routines.hpp"

#include "dispatch.hpp"
#include "linear_step.hpp"
#include "sequence_routines.hpp"
#include "../kernels/simd_dispatch.hpp"

#include <memory>
#include <string>

namespace vexel::batch {

namespace {

template <class T>
Status linear_filter_impl(const LinearFilterInputs& in, const LinearFilterOutputs& out) {
  // The working storage lives on the heap once per call: with bounded or
  // dynamic sizes it is too large for comfort on the stack.
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(in.x0.dims[0], in.zs.dims[1]);
  return filter_sequence(*w, in, out);
}

template <class T>
Status rts_impl(const SmootherInputs& in, const SmootherOutputs& out) {
  auto w = std::make_unique<SmootherStep<T>>();
  w->resize(in.xs.dims[1]);
  if (!smooth_sequence(*w, in, out)) return inversion_error();
  return Status::success();
}

#ifdef VEXEL_AVX2_KERNELS
/// The same pass built for AVX2 with everything it calls inlined into it:
/// the independent sums of a product's column then run four at a time on
/// AVX registers, each still summed in its sequential order (no FMA, no
/// reassociation), so the bits are those of the baseline build.  For the
/// larger fixed sizes, where the products are most of a step.
template <class T>
__attribute__((target("avx2"), flatten)) Status linear_filter_avx2(const LinearFilterInputs& in,
                                                                   const LinearFilterOutputs& out) {
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(in.x0.dims[0], in.zs.dims[1]);
  return filter_sequence(*w, in, out);
}
#endif

struct LinearFilterFn {
  template <class T>
  static Status run(const LinearFilterInputs& in, const LinearFilterOutputs& out) {
#ifdef VEXEL_AVX2_KERNELS
    if constexpr (T::kN != Eigen::Dynamic && T::kN >= 6) {
      if (simd::avx2_kernels()) return linear_filter_avx2<T>(in, out);
    }
#endif
    return linear_filter_impl<T>(in, out);
  }
};

struct SmootherFn {
  template <class T>
  static Status run(const SmootherInputs& in, const SmootherOutputs& out) {
    return rts_impl<T>(in, out);
  }
};

}  // namespace

Status run_linear_filter(const LinearFilterInputs& in, const LinearFilterOutputs& out) {
  return dispatch_state_measurement<LinearFilterFn>(in.x0.dims[0], in.zs.dims[1], in, out);
}

Status run_rts_smoother(const SmootherInputs& in, const SmootherOutputs& out) {
  return dispatch_state<SmootherFn>(in.xs.dims[1], in, out);
}

}  // namespace vexel::batch
