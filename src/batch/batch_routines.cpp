#include "batch_routines.hpp"

#include "dispatch.hpp"
#include "linear_step.hpp"

#include <memory>
#include <string>

namespace vexel::batch {

namespace {

Error inversion_error() { return Error::runtime("failed to invert innovation covariance"); }

/// An overflow of the filtered state at step k (in the prediction or the
/// update): there is no result to carry on from.
Error non_finite_state_error(Index k) {
  return Error::runtime("x or P contains non-finite values (NaN or inf) at step " + std::to_string(k));
}

template <class T>
Status linear_filter_impl(const LinearFilterInputs& in, const LinearFilterOutputs& out) {
  const Index n = in.x0.dims[0];
  const Index steps = in.zs.dims[0];
  const Index m = in.zs.dims[1];
  // The working storage lives on the heap once per call: with bounded or
  // dynamic sizes it is too large for comfort on the stack.
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(n, m);
  for (Index i = 0; i < n; ++i) w->x.coeffRef(i) = in.x0.at(i);
  load_matrix(in.p0, w->P);
  const double c = static_cast<double>(m) * kLn2Pi;
  for (Index k = 0; k < steps; ++k) {
    load_slice(in.fs, k, w->F);
    load_slice(in.hs, k, w->H);
    load_slice(in.qs, k, w->Q);
    load_slice(in.rs, k, w->R);
    load_row(in.zs, k, w->z);
    w->predict();
    if (!all_finite(w->x) || !all_finite(w->P)) return non_finite_state_error(k);
    const InverseStage stage = w->update();
    if (stage == InverseStage::Failed) return inversion_error();
    if (stage == InverseStage::NonFinite) return non_finite_state_error(k);
    out.log_likelihoods[k] = w->log_likelihood(c);
    double* xk = out.xs + k * n;
    for (Index i = 0; i < n; ++i) xk[i] = w->x.coeff(i);
    double* pk = out.ps + k * n * n;
    for (Index i = 0; i < n; ++i)
      for (Index j = 0; j < n; ++j) pk[i * n + j] = w->P.coeff(i, j);
  }
  return Status::success();
}

template <class T>
Status rts_impl(const SmootherInputs& in, const SmootherOutputs& out) {
  const Index steps = in.xs.dims[0];
  const Index n = in.xs.dims[1];
  auto w = std::make_unique<SmootherStep<T>>();
  w->resize(n);
  // The last smoothed state is the filtered one.
  const Index last = steps - 1;
  load_row(in.xs, last, w->xs_next);
  load_slice(in.ps, last, w->Ps_next);
  auto store = [&](Index k, const typename T::VecN& x, const typename T::MatNN& P) {
    double* xk = out.xs + k * n;
    for (Index i = 0; i < n; ++i) xk[i] = x.coeff(i);
    double* pk = out.ps + k * n * n;
    for (Index i = 0; i < n; ++i)
      for (Index j = 0; j < n; ++j) pk[i * n + j] = P.coeff(i, j);
  };
  store(last, w->xs_next, w->Ps_next);
  const bool f_full = in.fs.dims[0] == steps;
  const bool q_full = in.qs.dims[0] == steps;
  for (Index k = steps - 2; k >= 0; --k) {
    load_slice(in.fs, f_full ? k + 1 : k, w->F);
    load_slice(in.qs, q_full ? k + 1 : k, w->Q);
    load_row(in.xs, k, w->xk);
    load_slice(in.ps, k, w->Pk);
    if (!w->run()) return inversion_error();
    store(k, w->xs, w->Ps);
    w->xs_next = w->xs;
    w->Ps_next = w->Ps;
  }
  return Status::success();
}

struct LinearFilterFn {
  template <class T>
  static Status run(const LinearFilterInputs& in, const LinearFilterOutputs& out) {
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
