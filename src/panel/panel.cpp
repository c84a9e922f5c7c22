#include "panel.hpp"

#include "../batch/dispatch.hpp"
#include "../batch/lane_step.hpp"
#include "../kernels/simd_dispatch.hpp"
#include "../batch/sequence_routines.hpp"
#include "../runtime/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>


// The tile kernels hand AVX vectors only between functions inlined into one
// compiled for AVX2; GCC still flags the out-of-line copies it may keep, at
// the end of the unit, where a push/pop region no longer applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vexel::panel {

namespace {

using batch::KalmanStep;
using batch::SmootherStep;

/// Lowest index reported by any worker; indices above it need not run.
class FirstIndex {
 public:
  explicit FirstIndex(Index none) : none_(none), first_(none) {}
  bool beaten_by_lower(Index i) const { return i > first_.load(std::memory_order_relaxed); }
  void record(Index i) {
    Index seen = first_.load(std::memory_order_relaxed);
    while (i < seen && !first_.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  }
  std::optional<Index> get() const {
    const Index v = first_.load();
    return v == none_ ? std::nullopt : std::optional<Index>(v);
  }

 private:
  Index none_;
  std::atomic<Index> first_;
};

/// Runs body(begin, end) over chunks of sequences: small enough to balance
/// the workers, each large enough to pay for its working storage.
template <class Body>
void for_sequences(runtime::WorkerPool& pool, Index count, Body&& body) {
  const std::size_t workers = pool.size();
  const auto n = static_cast<std::size_t>(count);
  // A multiple of 4 sequences, so that every chunk but the last is whole
  // tiles of either width.
  const std::size_t grain = (std::clamp<std::size_t>(n / (workers * 8), 1, 64) + 3) / 4 * 4;
  pool.parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
    body(static_cast<Index>(begin), static_cast<Index>(end));
  });
}

batch::LinearFilterInputs sequence_inputs(const PanelInputs& in, Index i) {
  batch::LinearFilterInputs s{in.x0.ndim == 2 ? batch::sub_view(in.x0, i) : in.x0,
                              in.p0.ndim == 3 ? batch::sub_view(in.p0, i) : in.p0,
                              batch::sub_view(in.zs, i),
                              in.fs,
                              in.hs,
                              in.qs,
                              in.rs,
                              in.gaps};
  return s;
}

struct Shape {
  Index n, steps, m;
};

/// The last step of a smoothed sequence holding a NaN or infinity in its
/// mean or covariance, -1 when there is none (checked while the sequence's
/// outputs are still in the cache).
Index last_non_finite_step(const double* xs, const double* ps, Index steps, Index n) {
  for (Index k = steps - 1; k >= 0; --k) {
    for (Index j = 0; j < n; ++j) {
      if (!std::isfinite(xs[k * n + j])) return k;
    }
    for (Index j = 0; j < n * n; ++j) {
      if (!std::isfinite(ps[k * n * n + j])) return k;
    }
  }
  return -1;
}
Shape shape_of(const PanelInputs& in) { return {in.fs.dims[1], in.zs.dims[1], in.zs.dims[2]}; }

template <class T>
void filter_chunk(const PanelInputs& in, const PanelFilterOutputs& out, Index begin, Index end, FirstIndex& failed) {
  const auto [n, steps, m] = shape_of(in);
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(n, m);
  for (Index i = begin; i < end; ++i) {
    if (failed.beaten_by_lower(i)) return;
    const batch::LinearFilterOutputs o{out.xs + i * steps * n, out.ps + i * steps * n * n,
                                       out.log_likelihoods + i * steps};
    if (!batch::filter_sequence(*w, sequence_inputs(in, i), o)) failed.record(i);
  }
}

// The filter pass runs with the matrix types the single-sequence filter
// picks for (n, m), the smoother pass with those the single-sequence
// smoother picks for n (T and U): the summation order of a product may
// depend on the types, and each pass must give the bits of its
// single-sequence routine.
template <class T, class U>
void smoother_chunk(const PanelInputs& in, const PanelSmootherOutputs& out, Index begin, Index end,
                    FirstIndex& failed, FirstIndex& overflowed) {
  const auto [n, steps, m] = shape_of(in);
  auto w = std::make_unique<KalmanStep<T>>();
  auto s = std::make_unique<SmootherStep<U>>();
  w->resize(n, m);
  s->resize(n);
  // Per-worker scratch: the log-likelihoods of one sequence and, when the
  // smoothed covariances are not wanted, its covariances.
  std::vector<double> lls(static_cast<std::size_t>(steps));
  std::vector<double> p_scratch(out.ps == nullptr ? static_cast<std::size_t>(steps * n * n) : 0);
  for (Index i = begin; i < end; ++i) {
    if (failed.beaten_by_lower(i)) return;
    double* xs = out.xs + i * steps * n;
    double* ps = out.ps != nullptr ? out.ps + i * steps * n * n : p_scratch.data();
    if (!batch::filter_sequence(*w, sequence_inputs(in, i), {xs, ps, lls.data()})) {
      failed.record(i);
      continue;
    }
    const batch::SmootherInputs trace{batch::c_view(xs, {steps, n}), batch::c_view(ps, {steps, n, n}), in.fs, in.qs};
    if (!batch::smooth_sequence(*s, trace, {xs, ps})) {
      failed.record(i);
      continue;
    }
    const Index bad = last_non_finite_step(xs, ps, steps, n);
    if (bad >= 0) overflowed.record(i * steps + bad);
    // The total over the observed steps, in step order.
    double total = 0.0;
    for (double l : lls) {
      if (!std::isnan(l)) total += l;
    }
    out.log_likelihood[i] = total;
  }
}

template <class T>
void rts_chunk(const PanelRtsInputs& in, double* xs_out, double* ps_out, Index begin, Index end, FirstIndex& failed,
               FirstIndex& overflowed) {
  const Index steps = in.xs.dims[1];
  const Index n = in.xs.dims[2];
  auto s = std::make_unique<SmootherStep<T>>();
  s->resize(n);
  for (Index i = begin; i < end; ++i) {
    if (failed.beaten_by_lower(i)) return;
    const batch::SmootherInputs trace{batch::sub_view(in.xs, i), batch::sub_view(in.ps, i), in.fs, in.qs};
    double* xs = xs_out + i * steps * n;
    double* ps = ps_out + i * steps * n * n;
    if (!batch::smooth_sequence(*s, trace, {xs, ps})) {
      failed.record(i);
    } else if (const Index bad = last_non_finite_step(xs, ps, steps, n); bad >= 0) {
      overflowed.record(i * steps + bad);
    }
  }
}

// ---------------------------------------------------------------------------
// Tiles: several sequences stepped together, one per SIMD lane (see
// batch/lane_step.hpp), for the fixed sizes.  Every lane gives its sequence
// the bits of the one-sequence loops above; what the lanes cannot do
// together (a fallback inverse) runs on the one-sequence step for that lane
// only, and a lane whose sequence fails simply stops while its tile-mates
// run on.  The sequences after the last whole tile of a chunk run on the
// one-sequence path.

using batch::InverseStage;
using batch::lanes::gather;
using batch::lanes::kWidth;

/// Element (i, j) of a 2-D view and (k, i, j) of a 3-D one.
inline double element(const StridedArray& a, Index i, Index j) {
  return a.c_contiguous ? a.flat(i * a.dims[1] + j) : a.at(i, j);
}
inline double element(const StridedArray& a, Index k, Index i, Index j) {
  return a.c_contiguous ? a.flat((k * a.dims[1] + i) * a.dims[2] + j) : a.at(k, i, j);
}

/// Where a lane's filtered trace goes: (steps, n), (steps, n, n), (steps,).
struct LaneTrace {
  double* xs;
  double* ps;
  double* lls;
};

/// filter_sequence for the W sequences i0.. of the panel; alive[l] comes
/// back false for each sequence whose filter fails.  `w` holds the shared
/// per-step model and serves the fallback inverse.
template <int N, int M, class V>
VEXEL_LANE void filter_tile(const PanelInputs& in, Index i0, KalmanStep<batch::StepSizes<N, M>>& w,
                            batch::lanes::KalmanTile<N, M, V>& t, const LaneTrace* out, bool* alive) {
  constexpr int W = kWidth<V>;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Index steps = in.zs.dims[1];
  StridedArray zs[W];
  StridedArray x0[W], p0[W];
  for (int l = 0; l < W; ++l) {
    const batch::LinearFilterInputs s = sequence_inputs(in, i0 + l);
    zs[l] = s.zs;
    x0[l] = s.x0;
    p0[l] = s.p0;
    alive[l] = true;
  }
  for (int r = 0; r < N; ++r) t.x[r] = gather<V>([&](int l) { return x0[l].at(r); });
  for (int r = 0; r < N; ++r)
    for (int col = 0; col < N; ++col) t.P[r + col * N] = gather<V>([&](int l) { return element(p0[l], r, col); });
  const double c = static_cast<double>(M) * kLn2Pi;
  for (Index k = 0; k < steps; ++k) {
    // A constant model is a view with stride 0 along the steps: loaded once.
    if (k == 0 || in.fs.strides[0] != 0) batch::load_slice(in.fs, k, w.F);
    if (k == 0 || in.hs.strides[0] != 0) batch::load_slice(in.hs, k, w.H);
    if (k == 0 || in.qs.strides[0] != 0) batch::load_slice(in.qs, k, w.Q);
    if (k == 0 || in.rs.strides[0] != 0) batch::load_slice(in.rs, k, w.R);
    t.predict(w.F.data(), w.Q.data());
    const auto finite = batch::lanes::finite_lanes<N>(t.x) & batch::lanes::finite_lanes<N * N>(t.P);
    auto all_nan = batch::lanes::all_true<V>();
    for (int r = 0; r < M; ++r) {
      t.z[r] = gather<V>([&](int l) { return element(zs[l], k, r); });
      all_nan &= t.z[r] != t.z[r];
    }
    bool missed[W] = {};
    bool any_alive = false;
    bool any_update = false;
    for (int l = 0; l < W; ++l) {
      if (alive[l] && !finite[l]) alive[l] = false;  // the prediction overflowed
      if (!alive[l]) continue;
      any_alive = true;
      missed[l] = in.gaps && all_nan[l];
      any_update = any_update || !missed[l];
    }
    if (!any_alive) return;
    V mahal = {};
    if (any_update) {
      t.update(w.H.data(), w.R.data());
      mahal = t.mahalanobis();
    }
    bool every_lane_updated = true;
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) continue;
      double& ll = out[l].lls[k];
      if (missed[l]) {
        ll = kNaN;
        every_lane_updated = false;
      } else if (!t.chol_ok[l]) {
        // The fallback inverse, from this lane's prediction.
        for (int r = 0; r < N; ++r) w.x.coeffRef(r) = t.x[r][l];
        for (int e = 0; e < N * N; ++e) w.P.data()[e] = t.P[e][l];
        for (int r = 0; r < M; ++r) w.z.coeffRef(r) = t.z[r][l];
        const InverseStage stage = w.update();
        if (stage == InverseStage::Failed || stage == InverseStage::NonFinite) {
          alive[l] = false;
          continue;
        }
        ll = w.log_likelihood(c);
        for (int r = 0; r < N; ++r) t.xn[r][l] = w.x.coeff(r);
        for (int e = 0; e < N * N; ++e) t.Pn[e][l] = w.P.data()[e];
      } else if (!t.finite_ok[l]) {
        alive[l] = false;  // the posterior overflowed
      } else {
        ll = t.log_likelihood(l, mahal[l], c);
      }
    }
    if (every_lane_updated) {
      for (int r = 0; r < N; ++r) t.x[r] = t.xn[r];
      for (int e = 0; e < N * N; ++e) t.P[e] = t.Pn[e];
    } else {
      // Missed (and dead) lanes keep their prediction.
      const auto updated = gather<V>([&](int l) { return alive[l] && !missed[l] ? 1.0 : 0.0; }) != V{};
      for (int r = 0; r < N; ++r) t.x[r] = batch::lanes::select(updated, t.xn[r], t.x[r]);
      for (int e = 0; e < N * N; ++e) t.P[e] = batch::lanes::select(updated, t.Pn[e], t.P[e]);
    }
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) continue;
      double* xk = out[l].xs + k * N;
      for (int r = 0; r < N; ++r) xk[r] = t.x[r][l];
      double* pk = out[l].ps + k * N * N;
      for (int r = 0; r < N; ++r)
        for (int col = 0; col < N; ++col) pk[r * N + col] = t.P[r + col * N][l];
    }
  }
}

/// smooth_sequence for W traces (xs[l], ps[l]: (steps, n) and (steps, n, n))
/// into (xs_out[l], ps_out[l]), which may be the traces' own memory; only
/// the lanes with alive[l] run, and alive[l] comes back false for each
/// whose predicted covariance cannot be inverted.
template <int N, class V>
VEXEL_LANE void smooth_tile(const StridedArray* xs, const StridedArray* ps, const StridedArray& fs,
                            const StridedArray& qs, Index steps, double* const* xs_out, double* const* ps_out,
                            SmootherStep<batch::StepSizes<N, 1>>& s, batch::lanes::SmootherTile<N, V>& t,
                            bool* alive) {
  constexpr int W = kWidth<V>;
  auto store = [&](int l, Index k) {
    double* xk = xs_out[l] + k * N;
    for (int r = 0; r < N; ++r) xk[r] = t.xs_next[r][l];
    double* pk = ps_out[l] + k * N * N;
    for (int r = 0; r < N; ++r)
      for (int col = 0; col < N; ++col) pk[r * N + col] = t.Ps_next[r + col * N][l];
  };
  // Every lane's trace is read (a dead lane's memory is there, only its
  // values are meaningless); only the live lanes are written.
  const Index last = steps - 1;
  for (int r = 0; r < N; ++r) t.xs_next[r] = gather<V>([&](int l) { return element(xs[l], last, r); });
  for (int r = 0; r < N; ++r)
    for (int col = 0; col < N; ++col)
      t.Ps_next[r + col * N] = gather<V>([&](int l) { return element(ps[l], last, r, col); });
  for (int l = 0; l < W; ++l) {
    if (alive[l]) store(l, last);
  }
  const bool f_full = fs.dims[0] == steps;
  const bool q_full = qs.dims[0] == steps;
  for (Index k = steps - 2; k >= 0; --k) {
    if (k == steps - 2 || fs.strides[0] != 0) batch::load_slice(fs, f_full ? k + 1 : k, s.F);
    if (k == steps - 2 || qs.strides[0] != 0) batch::load_slice(qs, q_full ? k + 1 : k, s.Q);
    bool any_alive = false;
    for (int l = 0; l < W; ++l) any_alive = any_alive || alive[l];
    if (!any_alive) return;
    for (int r = 0; r < N; ++r) t.xk[r] = gather<V>([&](int l) { return element(xs[l], k, r); });
    for (int r = 0; r < N; ++r)
      for (int col = 0; col < N; ++col) t.Pk[r + col * N] = gather<V>([&](int l) { return element(ps[l], k, r, col); });
    const auto ok = t.predict_and_invert(s.F.data(), s.Q.data());
    for (int l = 0; l < W; ++l) {
      if (!alive[l] || ok[l]) continue;
      // The fallback inverse of this lane's predicted covariance.
      for (int e = 0; e < N * N; ++e) s.Ppred[0].data()[e] = t.Ppred[e][l];
      if (batch::invert_symmetric<N>(s.Ppred[0], s.Lp, s.Pinv, s.lu_work, s.perm) == InverseStage::Failed) {
        alive[l] = false;
        continue;
      }
      for (int e = 0; e < N * N; ++e) t.Pinv[e][l] = s.Pinv.data()[e];
    }
    t.gain_and_combine(s.F.data());
    for (int l = 0; l < W; ++l) {
      if (alive[l]) store(l, k);
    }
  }
}

template <int N, int M, class V>
VEXEL_LANE void filter_tiles(const PanelInputs& in, const PanelFilterOutputs& out, Index begin, Index end,
                             FirstIndex& failed) {
  constexpr int W = kWidth<V>;
  const auto [n, steps, m] = shape_of(in);
  auto w = std::make_unique<KalmanStep<batch::StepSizes<N, M>>>();
  w->resize(N, M);
  auto t = std::make_unique<batch::lanes::KalmanTile<N, M, V>>();
  Index i = begin;
  for (; i + W <= end; i += W) {
    if (failed.beaten_by_lower(i)) return;
    LaneTrace lane_out[W];
    for (int l = 0; l < W; ++l) {
      const Index s = i + l;
      lane_out[l] = {out.xs + s * steps * N, out.ps + s * steps * N * N, out.log_likelihoods + s * steps};
    }
    bool alive[W];
    filter_tile(in, i, *w, *t, lane_out, alive);
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) failed.record(i + l);
    }
  }
  for (; i < end; ++i) {
    if (failed.beaten_by_lower(i)) return;
    const batch::LinearFilterOutputs o{out.xs + i * steps * n, out.ps + i * steps * n * n,
                                       out.log_likelihoods + i * steps};
    if (!batch::filter_sequence(*w, sequence_inputs(in, i), o)) failed.record(i);
  }
}

template <int N, int M, class V>
VEXEL_LANE void smoother_tiles(const PanelInputs& in, const PanelSmootherOutputs& out, Index begin, Index end,
                               FirstIndex& failed, FirstIndex& overflowed) {
  constexpr int W = kWidth<V>;
  const Index steps = in.zs.dims[1];
  const Index tiled_end = begin + (end - begin) / W * W;
  auto w = std::make_unique<KalmanStep<batch::StepSizes<N, M>>>();
  auto s = std::make_unique<SmootherStep<batch::StepSizes<N, 1>>>();
  auto t = std::make_unique<batch::lanes::KalmanTile<N, M, V>>();
  auto u = std::make_unique<batch::lanes::SmootherTile<N, V>>();
  w->resize(N, M);
  s->resize(N);
  // Per-worker scratch: the log-likelihoods of a tile and, when the
  // smoothed covariances are not wanted, its covariances.
  std::vector<double> lls(static_cast<std::size_t>(W * steps));
  std::vector<double> p_scratch(out.ps == nullptr ? static_cast<std::size_t>(W * steps * N * N) : 0);
  for (Index i = begin; i < tiled_end; i += W) {
    if (failed.beaten_by_lower(i)) return;
    LaneTrace lane_out[W];
    double* xs_l[W];
    double* ps_l[W];
    StridedArray xs_v[W], ps_v[W];
    for (int l = 0; l < W; ++l) {
      const Index q = i + l;
      xs_l[l] = out.xs + q * steps * N;
      ps_l[l] = out.ps != nullptr ? out.ps + q * steps * N * N : p_scratch.data() + l * steps * N * N;
      lane_out[l] = {xs_l[l], ps_l[l], lls.data() + l * steps};
      xs_v[l] = batch::c_view(xs_l[l], {steps, N});
      ps_v[l] = batch::c_view(ps_l[l], {steps, N, N});
    }
    bool alive[W];
    filter_tile(in, i, *w, *t, lane_out, alive);
    bool smoothed[W];
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) failed.record(i + l);
      smoothed[l] = alive[l];
    }
    smooth_tile(xs_v, ps_v, in.fs, in.qs, steps, xs_l, ps_l, *s, *u, smoothed);
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) continue;
      if (!smoothed[l]) {
        failed.record(i + l);
        continue;
      }
      const Index bad = last_non_finite_step(xs_l[l], ps_l[l], steps, N);
      if (bad >= 0) overflowed.record((i + l) * steps + bad);
      double total = 0.0;
      for (Index k = 0; k < steps; ++k) {
        const double v = lls[static_cast<std::size_t>(l * steps + k)];
        if (!std::isnan(v)) total += v;
      }
      out.log_likelihood[i + l] = total;
    }
  }
  if (tiled_end < end) {
    smoother_chunk<batch::StepSizes<N, M>, batch::StepSizes<N, 1>>(in, out, tiled_end, end, failed, overflowed);
  }
}

template <int N, class V>
VEXEL_LANE void rts_tiles(const PanelRtsInputs& in, double* xs_out, double* ps_out, Index begin, Index end,
                          FirstIndex& failed, FirstIndex& overflowed) {
  constexpr int W = kWidth<V>;
  const Index steps = in.xs.dims[1];
  const Index tiled_end = begin + (end - begin) / W * W;
  auto s = std::make_unique<SmootherStep<batch::StepSizes<N, 1>>>();
  auto u = std::make_unique<batch::lanes::SmootherTile<N, V>>();
  s->resize(N);
  for (Index i = begin; i < tiled_end; i += W) {
    if (failed.beaten_by_lower(i)) return;
    StridedArray xs_v[W], ps_v[W];
    double* xs_l[W];
    double* ps_l[W];
    bool alive[W];
    for (int l = 0; l < W; ++l) {
      xs_v[l] = batch::sub_view(in.xs, i + l);
      ps_v[l] = batch::sub_view(in.ps, i + l);
      xs_l[l] = xs_out + (i + l) * steps * N;
      ps_l[l] = ps_out + (i + l) * steps * N * N;
      alive[l] = true;
    }
    smooth_tile(xs_v, ps_v, in.fs, in.qs, steps, xs_l, ps_l, *s, *u, alive);
    for (int l = 0; l < W; ++l) {
      if (!alive[l]) {
        failed.record(i + l);
      } else if (const Index bad = last_non_finite_step(xs_l[l], ps_l[l], steps, N); bad >= 0) {
        overflowed.record((i + l) * steps + bad);
      }
    }
  }
  if (tiled_end < end) rts_chunk<batch::StepSizes<N, 1>>(in, xs_out, ps_out, tiled_end, end, failed, overflowed);
}

template <int N, int M>
void filter_pairs(const PanelInputs& in, const PanelFilterOutputs& out, Index begin, Index end, FirstIndex& failed) {
  filter_tiles<N, M, simd::Pair>(in, out, begin, end, failed);
}
template <int N, int M>
void smoother_pairs(const PanelInputs& in, const PanelSmootherOutputs& out, Index begin, Index end,
                    FirstIndex& failed, FirstIndex& overflowed) {
  smoother_tiles<N, M, simd::Pair>(in, out, begin, end, failed, overflowed);
}
template <int N>
void rts_pairs(const PanelRtsInputs& in, double* xs_out, double* ps_out, Index begin, Index end, FirstIndex& failed,
               FirstIndex& overflowed) {
  rts_tiles<N, simd::Pair>(in, xs_out, ps_out, begin, end, failed, overflowed);
}

#ifdef VEXEL_AVX2_KERNELS
template <int N, int M>
__attribute__((target("avx2"))) void filter_quads(const PanelInputs& in, const PanelFilterOutputs& out, Index begin,
                                                  Index end, FirstIndex& failed) {
  filter_tiles<N, M, simd::Quad>(in, out, begin, end, failed);
}
template <int N, int M>
__attribute__((target("avx2"))) void smoother_quads(const PanelInputs& in, const PanelSmootherOutputs& out,
                                                    Index begin, Index end, FirstIndex& failed,
                                                    FirstIndex& overflowed) {
  smoother_tiles<N, M, simd::Quad>(in, out, begin, end, failed, overflowed);
}
template <int N>
__attribute__((target("avx2"))) void rts_quads(const PanelRtsInputs& in, double* xs_out, double* ps_out, Index begin,
                                               Index end, FirstIndex& failed, FirstIndex& overflowed) {
  rts_tiles<N, simd::Quad>(in, xs_out, ps_out, begin, end, failed, overflowed);
}
#endif

using FilterChunk = void (*)(const PanelInputs&, const PanelFilterOutputs&, Index, Index, FirstIndex&);
using SmootherChunk = void (*)(const PanelInputs&, const PanelSmootherOutputs&, Index, Index, FirstIndex&, FirstIndex&);
using RtsChunk = void (*)(const PanelRtsInputs&, double*, double*, Index, Index, FirstIndex&, FirstIndex&);

/// The tile kernels for the width of this process where the sizes are
/// fixed, the one-sequence path otherwise.
struct SelectFilter {
  template <class T>
  static FilterChunk run([[maybe_unused]] int width) {
    if constexpr (T::kN != Eigen::Dynamic && T::kM != Eigen::Dynamic) {
#ifdef VEXEL_AVX2_KERNELS
      if (width == 4) return &filter_quads<T::kN, T::kM>;
#endif
      if (width == 2) return &filter_pairs<T::kN, T::kM>;
    }
    return &filter_chunk<T>;
  }
};
template <class T>
struct SmootherWith {
  template <class U>
  static SmootherChunk run([[maybe_unused]] int width) {
    // A fixed filter size fixes the smoother's state size; only run-time
    // filter sizes meet every smoother type.
    if constexpr (T::kN != Eigen::Dynamic && T::kM != Eigen::Dynamic && T::kN == U::kN) {
#ifdef VEXEL_AVX2_KERNELS
      if (width == 4) return &smoother_quads<T::kN, T::kM>;
#endif
      if (width == 2) return &smoother_pairs<T::kN, T::kM>;
      return &smoother_chunk<T, U>;
    } else if constexpr (T::kN == Eigen::Dynamic || T::kN == U::kN) {
      return &smoother_chunk<T, U>;
    } else {
      return nullptr;
    }
  }
};
struct SelectSmoother {
  template <class T>
  static SmootherChunk run(Index n, int width) {
    return batch::dispatch_state<SmootherWith<T>>(n, width);
  }
};
struct SelectRts {
  template <class T>
  static RtsChunk run([[maybe_unused]] int width) {
    if constexpr (T::kN != Eigen::Dynamic) {
#ifdef VEXEL_AVX2_KERNELS
      if (width == 4) return &rts_quads<T::kN>;
#endif
      if (width == 2) return &rts_pairs<T::kN>;
    }
    return &rts_chunk<T>;
  }
};

}  // namespace

std::optional<MeasurementFault> find_measurement_fault(const StridedArray& zs, bool gaps, runtime::WorkerPool& pool) {
  const Index count = zs.dims[0];
  const Index steps = zs.dims[1];
  const Index m = zs.dims[2];
  // Faults are ranked by their flat row index, so the one reported does not
  // depend on which worker found what first.
  FirstIndex first(count * steps);
  std::atomic<int> kind{MeasurementFault::NonFinite};
  std::atomic<bool> kind_lock{false};
  for_sequences(pool, count, [&](Index begin, Index end) {
    for (Index i = begin; i < end; ++i) {
      const StridedArray seq = batch::sub_view(zs, i);
      for (Index k = 0; k < steps; ++k) {
        if (first.beaten_by_lower(i * steps + k)) return;
        Index nans = 0;
        Index infs = 0;
        for (Index j = 0; j < m; ++j) {
          const double v = seq.c_contiguous ? seq.flat(k * m + j) : seq.at(k, j);
          if (std::isnan(v)) {
            ++nans;
          } else if (std::isinf(v)) {
            ++infs;
          }
        }
        if (nans == 0 && infs == 0) continue;
        MeasurementFault::Kind found;
        if (!gaps) {
          found = MeasurementFault::NonFinite;
        } else if (nans == m) {
          continue;  // a missed measurement
        } else {
          found = nans > 0 ? MeasurementFault::PartlyNaN : MeasurementFault::Infinite;
        }
        // Record the row and its kind together: the kind belongs to the
        // lowest row recorded.
        while (kind_lock.exchange(true, std::memory_order_acquire)) {
        }
        const Index row = i * steps + k;
        if (!first.beaten_by_lower(row)) {
          first.record(row);
          kind.store(found, std::memory_order_relaxed);
        }
        kind_lock.store(false, std::memory_order_release);
        break;
      }
    }
  });
  const auto row = first.get();
  if (!row) return std::nullopt;
  return MeasurementFault{*row / steps, *row % steps, static_cast<MeasurementFault::Kind>(kind.load())};
}

namespace {

struct SequenceStatus {
  template <class T>
  static Status run(const PanelInputs& in, Index i) {
    const auto [n, steps, m] = shape_of(in);
    auto w = std::make_unique<KalmanStep<T>>();
    w->resize(n, m);
    std::vector<double> xs(static_cast<std::size_t>(steps * n)), ps(static_cast<std::size_t>(steps * n * n)),
        lls(static_cast<std::size_t>(steps));
    return batch::filter_sequence(*w, sequence_inputs(in, i), {xs.data(), ps.data(), lls.data()});
  }
};

}  // namespace

Status sequence_filter_status(const PanelInputs& in, Index i) {
  const auto [n, steps, m] = shape_of(in);
  return batch::dispatch_state_measurement<SequenceStatus>(n, m, in, i);
}

SequenceFailure run_panel_filter(const PanelInputs& in, const PanelFilterOutputs& out, runtime::WorkerPool& pool) {
  const auto [n, steps, m] = shape_of(in);
  const FilterChunk chunk = batch::dispatch_state_measurement<SelectFilter>(n, m, simd::tile_width());
  FirstIndex failed(in.zs.dims[0]);
  for_sequences(pool, in.zs.dims[0], [&](Index begin, Index end) { chunk(in, out, begin, end, failed); });
  return failed.get();
}

SmoothingFailures run_panel_smoother(const PanelInputs& in, const PanelSmootherOutputs& out, runtime::WorkerPool& pool) {
  const auto [n, steps, m] = shape_of(in);
  const SmootherChunk chunk = batch::dispatch_state_measurement<SelectSmoother>(n, m, n, simd::tile_width());
  if (chunk == nullptr) internal_failure("chunk != nullptr", __FILE__, __LINE__);
  FirstIndex failed(in.zs.dims[0]);
  FirstIndex overflowed(in.zs.dims[0] * steps);
  for_sequences(pool, in.zs.dims[0], [&](Index begin, Index end) { chunk(in, out, begin, end, failed, overflowed); });
  return {failed.get(), overflowed.get()};
}

SmoothingFailures run_panel_rts(const PanelRtsInputs& in, double* xs_out, double* ps_out, runtime::WorkerPool& pool) {
  const RtsChunk chunk = batch::dispatch_state<SelectRts>(in.xs.dims[2], simd::tile_width());
  FirstIndex failed(in.xs.dims[0]);
  FirstIndex overflowed(in.xs.dims[0] * in.xs.dims[1]);
  for_sequences(pool, in.xs.dims[0],
                [&](Index begin, Index end) { chunk(in, xs_out, ps_out, begin, end, failed, overflowed); });
  return {failed.get(), overflowed.get()};
}

}  // namespace vexel::panel
