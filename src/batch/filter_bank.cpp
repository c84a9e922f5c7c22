#include "filter_bank.hpp"

#include "dispatch.hpp"
#include "lane_step.hpp"
#include "linear_step.hpp"
#include "../kernels/simd_dispatch.hpp"
#include "../runtime/worker_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>


// The tile kernels hand AVX vectors only between functions inlined into one
// compiled for AVX2; GCC still flags the out-of-line copies it may keep, at
// the end of the unit, where a push/pop region no longer applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vexel::batch {

namespace {

using RangeFn = void (*)(const BankModel&, const BankBuffers&, Index, Index);

inline bool all_nan(const double* v, Index count) {
  for (Index i = 0; i < count; ++i) {
    if (!std::isnan(v[i])) return false;
  }
  return true;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

/// Working storage of a range: the one-filter step with the shared model
/// copied into it, set up once per range, never per filter.
template <class T>
std::unique_ptr<KalmanStep<T>> range_storage(const BankModel& model, const BankBuffers& b) {
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(b.dim_x, b.dim_z);
  w->F = model.F;
  w->H = model.H;
  w->Q = model.Q;
  w->R = model.R;
  return w;
}

/// The one-filter path: filter i of the bank.
template <class T>
inline void bank_one(KalmanStep<T>& w, const BankBuffers& b, Index i) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  double* xi = b.x + i * n;
  double* pi = b.p + i * n * n;
  const double* zi = b.z + i * m;
  auto store = [&] {
    for (Index r = 0; r < n; ++r) xi[r] = w.x.coeff(r);
    for (Index r = 0; r < n; ++r)
      for (Index col = 0; col < n; ++col) pi[r * n + col] = w.P.coeff(r, col);
  };
  // A non-finite prior: nothing is done, the slot keeps x_i and P_i.
  if (!vexel::all_finite(xi, n) || !vexel::all_finite(pi, n * n)) {
    b.log_likelihoods[i] = kNaN;
    b.status[i] = kBadData;
    return;
  }
  for (Index r = 0; r < n; ++r) w.x.coeffRef(r) = xi[r];
  for (Index r = 0; r < n; ++r)
    for (Index col = 0; col < n; ++col) w.P.coeffRef(r, col) = pi[r * n + col];
  // The linear prediction with the shared F and Q.
  w.predict();
  // A non-finite measurement: the prediction is the result, as a missed
  // measurement when the bank has gaps and z_i is all NaN.
  if (!vexel::all_finite(zi, m)) {
    store();
    const bool missed = b.gaps && all_nan(zi, m);
    b.log_likelihoods[i] = missed ? kNaN : kMinusInf;
    b.status[i] = missed ? kNoMeasurement : kBadData;
    return;
  }
  for (Index r = 0; r < m; ++r) w.z.coeffRef(r) = zi[r];
  // Update; with no inverse at all, or a posterior that overflowed,
  // the prediction is the result.
  const InverseStage stage = w.update();
  if (stage == InverseStage::Failed || stage == InverseStage::NonFinite) {
    store();
    b.log_likelihoods[i] = kMinusInf;
    b.status[i] = kNotApplied;
    return;
  }
  // Log-likelihood (minus infinity for every fallback stage).
  b.log_likelihoods[i] = w.log_likelihood(kLn2Pi * static_cast<double>(m));
  b.status[i] = stage == InverseStage::Cholesky ? kUpdated : kFallbackInverse;
  store();
}

/// Filters [begin, end) of the bank one after another.
template <class T>
void bank_range(const BankModel& model, const BankBuffers& b, Index begin, Index end) {
  auto w = range_storage<T>(model, b);
  for (Index i = begin; i < end; ++i) bank_one(*w, b, i);
}


/// Filters [begin, end) of a bank with the fixed sizes (N, M) in tiles of
/// one filter per lane of V; a rest smaller than a tile runs on the
/// one-filter path.  Every lane computes its filter's prediction and update
/// whatever its data; the outcome is then sorted out lane by lane, exactly
/// as the one-filter path decides it.  A lane whose Cholesky stage fails
/// takes the fallback inverse on the one-filter path, from its prediction.
template <int N, int M, class V>
VEXEL_LANE void bank_tiles(const BankModel& model, const BankBuffers& b, Index begin, Index end) {
  using T = StepSizes<N, M>;
  constexpr int W = lanes::kWidth<V>;
  auto w = range_storage<T>(model, b);
  auto t = std::make_unique<lanes::KalmanTile<N, M, V>>();
  const double* F = w->F.data();
  const double* H = w->H.data();
  const double* Q = w->Q.data();
  const double* R = w->R.data();
  const double c = kLn2Pi * static_cast<double>(M);
  Index i0 = begin;
  for (; i0 + W <= end; i0 += W) {
    const double* zs = b.z + i0 * M;
    // Each filter's x, P and z are consecutive: whole registers of them,
    // transposed into one entry of every lane per register.
    double* xl[W];
    double* pl[W];
    const double* zl[W];
    for (int l = 0; l < W; ++l) {
      xl[l] = b.x + (i0 + l) * N;
      pl[l] = b.p + (i0 + l) * N * N;
      zl[l] = zs + l * M;
    }
    {
      V flat[N * N];
      simd::gather_block<V, N>(xl, t->x);
      simd::gather_block<V, N * N>(pl, flat);
      for (int r = 0; r < N; ++r)
        for (int col = 0; col < N; ++col) t->P[r + col * N] = flat[r * N + col];
      simd::gather_block<V, M>(zl, t->z);
    }
    const auto prior_ok = lanes::finite_lanes<N>(t->x) & lanes::finite_lanes<N * N>(t->P);
    const auto z_ok = lanes::finite_lanes<M>(t->z);
    t->predict(F, Q);
    t->update(H, R);
    const V mahal = t->mahalanobis();
    // Statuses lane by lane; the lanes keeping their prediction and those
    // taking their update are then written as whole registers, a fallback
    // inverse's lane by itself.
    unsigned predicted = 0;
    unsigned updated = 0;
    for (int l = 0; l < W; ++l) {
      const Index i = i0 + l;
      if (!prior_ok[l]) {
        b.log_likelihoods[i] = kNaN;
        b.status[i] = kBadData;
      } else if (!z_ok[l]) {
        predicted |= 1u << l;
        const bool missed = b.gaps && all_nan(b.z + i * M, M);
        b.log_likelihoods[i] = missed ? kNaN : kMinusInf;
        b.status[i] = missed ? kNoMeasurement : kBadData;
      } else if (!t->chol_ok[l]) {
        // The fallback inverse, from this lane's prediction.
        for (int r = 0; r < N; ++r) w->x.coeffRef(r) = t->x[r][l];
        for (int e = 0; e < N * N; ++e) w->P.data()[e] = t->P[e][l];
        for (int r = 0; r < M; ++r) w->z.coeffRef(r) = t->z[r][l];
        const InverseStage stage = w->update();
        if (stage == InverseStage::Failed || stage == InverseStage::NonFinite) {
          predicted |= 1u << l;
          b.log_likelihoods[i] = kMinusInf;
          b.status[i] = kNotApplied;
        } else {
          b.log_likelihoods[i] = w->log_likelihood(c);
          b.status[i] = stage == InverseStage::Cholesky ? kUpdated : kFallbackInverse;
          double* xi = xl[l];
          double* pi = pl[l];
          for (int r = 0; r < N; ++r) xi[r] = w->x.coeff(r);
          for (int r = 0; r < N; ++r)
            for (int col = 0; col < N; ++col) pi[r * N + col] = w->P.coeff(r, col);
        }
      } else if (!t->finite_ok[l]) {
        predicted |= 1u << l;
        b.log_likelihoods[i] = kMinusInf;
        b.status[i] = kNotApplied;
      } else {
        updated |= 1u << l;
        b.log_likelihoods[i] = t->log_likelihood(l, mahal[l], c);
        b.status[i] = kUpdated;
      }
    }
    auto store = [&](unsigned write, const V* x, const V* P) {
      V flat[N * N];
      for (int r = 0; r < N; ++r)
        for (int col = 0; col < N; ++col) flat[r * N + col] = P[r + col * N];
      V mean[N];
      for (int r = 0; r < N; ++r) mean[r] = x[r];
      simd::scatter_block<V, N>(write, mean, xl);
      simd::scatter_block<V, N * N>(write, flat, pl);
    };
    if (updated != 0) store(updated, t->xn, t->Pn);
    if (predicted != 0) store(predicted, t->x, t->P);
  }
  for (; i0 < end; ++i0) bank_one(*w, b, i0);
}

template <int N, int M>
void bank_pairs(const BankModel& model, const BankBuffers& b, Index begin, Index end) {
  bank_tiles<N, M, simd::Pair>(model, b, begin, end);
}

#ifdef VEXEL_AVX2_KERNELS
template <int N, int M>
__attribute__((target("avx2"))) void bank_quads(const BankModel& model, const BankBuffers& b, Index begin,
                                                Index end) {
  bank_tiles<N, M, simd::Quad>(model, b, begin, end);
}
#endif

struct SelectRange {
  template <class T>
  static RangeFn run([[maybe_unused]] int width) {
    if constexpr (T::kN != Eigen::Dynamic && T::kM != Eigen::Dynamic) {
#ifdef VEXEL_AVX2_KERNELS
      if (width == 4) return &bank_quads<T::kN, T::kM>;
#endif
      if (width == 2) return &bank_pairs<T::kN, T::kM>;
    }
    return &bank_range<T>;
  }
};

}  // namespace

void run_filter_bank(const BankModel& model, const BankBuffers& buffers, runtime::WorkerPool& pool) {
  const int width = simd::tile_width();
  const RangeFn range = dispatch_state_measurement<SelectRange>(buffers.dim_x, buffers.dim_z, width);
  const auto count = static_cast<std::size_t>(buffers.count);
  // Chunks small enough to balance the load over the workers, large enough
  // that taking one costs nothing next to the filters it holds, and never so
  // small that waking a worker for one costs more than its filters (about
  // 2^16 multiply-adds per chunk at least; a small bank is then one chunk,
  // run on the calling thread).
  const std::size_t workers = pool.size();
  const auto n = static_cast<std::size_t>(buffers.dim_x);
  const auto m = static_cast<std::size_t>(buffers.dim_z);
  const std::size_t work_per_filter = n * n * (n + m) + m * m * m;
  const std::size_t min_grain = std::max<std::size_t>(1, (std::size_t{1} << 16) / work_per_filter);
  // A multiple of 4 filters, so that every chunk but the last is whole tiles.
  std::size_t grain = std::clamp<std::size_t>(count / (workers * 16), std::min<std::size_t>(min_grain, 2048), 2048);
  grain = (grain + 3) / 4 * 4;
  pool.parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    range(model, buffers, static_cast<Index>(begin), static_cast<Index>(end));
  });
}

}  // namespace vexel::batch
