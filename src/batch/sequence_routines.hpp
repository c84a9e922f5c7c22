// The per-sequence loops of the batch routines: one linear Kalman filter pass
// and one Rauch-Tung-Striebel pass over one sequence, with the working
// storage supplied by the caller.  The single-sequence functions run them
// once; the panel routines (src/panel) run them for every sequence of a
// panel, setting the storage up once per worker chunk.  Every caller thus
// runs exactly the same arithmetic, so a sequence of a panel gets the bits
// it gets on its own.
#pragma once

#include "batch_routines.hpp"
#include "linear_step.hpp"
#include "strided.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace vexel::batch {

/// The view of entry i along the first axis of a 2-D or 3-D view (one
/// sequence of a panel, one initial state of a stack).
inline StridedArray sub_view(const StridedArray& a, Index i) {
  StridedArray s;
  s.data = a.data + i * a.strides[0];
  s.ndim = a.ndim - 1;
  for (int d = 0; d + 1 < a.ndim; ++d) {
    s.dims[d] = a.dims[d + 1];
    s.strides[d] = a.strides[d + 1];
  }
  s.c_contiguous = a.c_contiguous;  // a slab of C-ordered data is C-ordered
  return s;
}

/// A C-ordered view of owned memory.
inline StridedArray c_view(const double* data, std::initializer_list<Index> dims) {
  StridedArray v;
  v.data = reinterpret_cast<const char*>(data);
  v.ndim = static_cast<int>(dims.size());
  std::ptrdiff_t stride = sizeof(double);
  int d = v.ndim;
  for (auto it = dims.end(); it != dims.begin();) {
    --it;
    --d;
    v.dims[d] = *it;
    v.strides[d] = stride;
    stride *= static_cast<std::ptrdiff_t>(*it);
  }
  v.c_contiguous = true;
  return v;
}

/// A row of NaN only; a row without entries (dim_z = 0) is a measurement
/// of nothing, never a missed one, as it is without gaps.
template <class Vec>
inline bool all_nan(const Vec& v) {
  if (v.size() == 0) return false;
  for (Index i = 0; i < v.size(); ++i) {
    if (!std::isnan(v.coeff(i))) return false;
  }
  return true;
}

inline Error inversion_error() { return Error::runtime("failed to invert innovation covariance"); }

/// An overflow of the filtered state at step k (in the prediction or the
/// update): there is no result to carry on from.
inline Error non_finite_state_error(Index k) {
  return Error::runtime("x or P contains non-finite values (NaN or inf) at step " + std::to_string(k));
}

/// Filters one sequence into `out`.  With in.gaps, a measurement row of all
/// NaN is a missed measurement: the step only predicts, stores the
/// prediction and a NaN log-likelihood (rows partly NaN must have been
/// refused before).  Fails when some step's innovation covariance cannot be
/// inverted at all or its state overflows; `out` is then partly written.
template <class T>
Status filter_sequence(KalmanStep<T>& w, const LinearFilterInputs& in, const LinearFilterOutputs& out) {
  const Index n = in.x0.dims[0];
  const Index steps = in.zs.dims[0];
  const Index m = in.zs.dims[1];
  for (Index i = 0; i < n; ++i) w.x.coeffRef(i) = in.x0.at(i);
  load_matrix(in.p0, w.P);
  const double c = static_cast<double>(m) * kLn2Pi;
  // A broadcast stack (one matrix for every step, stride 0) is loaded at
  // step 0 only.
  const bool f_steps = in.fs.strides[0] != 0, h_steps = in.hs.strides[0] != 0;
  const bool q_steps = in.qs.strides[0] != 0, r_steps = in.rs.strides[0] != 0;
  for (Index k = 0; k < steps; ++k) {
    if (k == 0 || f_steps) load_slice(in.fs, k, w.F);
    if (k == 0 || h_steps) load_slice(in.hs, k, w.H);
    if (k == 0 || q_steps) load_slice(in.qs, k, w.Q);
    if (k == 0 || r_steps) load_slice(in.rs, k, w.R);
    load_row(in.zs, k, w.z);
    w.predict();
    if (!all_finite(w.x) || !all_finite(w.P)) return non_finite_state_error(k);
    if (in.gaps && all_nan(w.z)) {
      out.log_likelihoods[k] = std::numeric_limits<double>::quiet_NaN();
    } else {
      const InverseStage stage = w.update();
      if (stage == InverseStage::Failed) return inversion_error();
      if (stage == InverseStage::NonFinite) return non_finite_state_error(k);
      out.log_likelihoods[k] = w.log_likelihood(c);
    }
    double* xk = out.xs + k * n;
    for (Index i = 0; i < n; ++i) xk[i] = w.x.coeff(i);
    double* pk = out.ps + k * n * n;
    for (Index i = 0; i < n; ++i)
      for (Index j = 0; j < n; ++j) pk[i * n + j] = w.P.coeff(i, j);
  }
  return Status::success();
}

/// Smooths one filtered trace into `out`, which may be the very memory of
/// in.xs and in.ps (C-ordered): every step is read before it is written and
/// never read after.  False when a predicted covariance cannot be inverted;
/// `out` is then partly written.
template <class T>
bool smooth_sequence(SmootherStep<T>& w, const SmootherInputs& in, const SmootherOutputs& out) {
  using Step = SmootherStep<T>;
  const Index steps = in.xs.dims[0];
  const Index n = in.xs.dims[1];
  auto store = [&](Index k, const typename T::VecN& x, const typename T::MatNN& P) {
    double* xk = out.xs + k * n;
    for (Index i = 0; i < n; ++i) xk[i] = x.coeff(i);
    double* pk = out.ps + k * n * n;
    for (Index i = 0; i < n; ++i)
      for (Index j = 0; j < n; ++j) pk[i * n + j] = P.coeff(i, j);
  };
  // The last smoothed state is the filtered one.
  const Index last = steps - 1;
  load_row(in.xs, last, w.xs_next);
  load_slice(in.ps, last, w.Ps_next);
  store(last, w.xs_next, w.Ps_next);
  const bool f_full = in.fs.dims[0] == steps;
  const bool q_full = in.qs.dims[0] == steps;
  // The gains of a block of steps do not depend on the smoothed states, so
  // they are formed first, one after the other with no dependency between
  // them (the long division chains of their inverses overlap in the
  // pipeline); the short recursion through the smoothed states follows.
  for (Index top = steps - 2; top >= 0; top -= Step::kBlock) {
    const int count = top + 1 < Step::kBlock ? static_cast<int>(top + 1) : Step::kBlock;
    for (int j = 0; j < count; ++j) {
      const Index k = top - j;
      if (k == steps - 2 || in.fs.strides[0] != 0) load_slice(in.fs, f_full ? k + 1 : k, w.F);
      if (k == steps - 2 || in.qs.strides[0] != 0) load_slice(in.qs, q_full ? k + 1 : k, w.Q);
      load_row(in.xs, k, w.xk[j]);
      load_slice(in.ps, k, w.Pk[j]);
      if (!w.gain(j)) return false;
    }
    for (int j = 0; j < count; ++j) {
      w.combine(j);
      store(top - j, w.xs_next, w.Ps_next);
    }
  }
  return true;
}

}  // namespace vexel::batch
