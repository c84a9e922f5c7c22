#include "em_statistics.hpp"

#include "../batch/dispatch.hpp"
#include "../batch/sequence_routines.hpp"
#include "../runtime/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vexel::fit {

namespace {

using batch::KalmanStep;
using batch::mul;
using batch::SmootherStep;

// Sequences are summed in blocks of this many, whatever the number of
// workers: a fixed grouping keeps the shared sum's rounding independent of
// the pool, and a block's partial sums are all the memory the sum needs.
constexpr Index kSequencesPerBlock = 16;

/// Lowest sequence that failed so far: blocks above it need not run.
class LowestFailure {
 public:
  explicit LowestFailure(Index none) : first_(none) {}
  bool beaten_by_lower(Index i) const { return i > first_.load(std::memory_order_relaxed); }
  void record(Index i) {
    Index seen = first_.load(std::memory_order_relaxed);
    while (i < seen && !first_.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  }

 private:
  std::atomic<Index> first_;
};

/// Sequence i's item of a view that is shared (ndim = shared_ndim) or
/// stacked with one item per sequence.
StridedArray item(const StridedArray& a, int shared_ndim, Index i) {
  return a.ndim == shared_ndim ? a : batch::sub_view(a, i);
}

template <class Mat>
void store(const Mat& a, double* out) {
  const Index c = a.cols();
  for (Index i = 0; i < a.rows(); ++i)
    for (Index j = 0; j < c; ++j) out[i * c + j] = a.coeff(i, j);
}

template <class Mat>
void load(const double* in, Mat& a) {
  const Index c = a.cols();
  for (Index i = 0; i < a.rows(); ++i)
    for (Index j = 0; j < c; ++j) a.coeffRef(i, j) = in[i * c + j];
}

/// Working storage of one worker: the filter and smoother steps (the
/// arithmetic of batch_smoother), the filtered trace of one sequence with
/// the prior in slot 0 and step k in slot k + 1, and the accumulators.
template <class T>
struct Workspace {
  static constexpr int kBlock = SmootherStep<T>::kBlock;
  KalmanStep<T> kf;
  SmootherStep<T> sm;
  typename T::MatNN J[kBlock];  // Q Pinv of each gain of a block
  typename T::MatNN JD, nn, P_next, trans_resid, trans_cross, prev_moment, obs_moment;
  typename T::MatMM mm, obs_resid;
  typename T::MatMN hp, mn, obs_cross;
  typename T::VecN e, fx, x_next;
  typename T::VecM r;
  std::vector<double> xs, ps, stats;
  std::vector<char> observed;
  Index n = 0, m = 0, steps = 0;

  void resize(Index n_, Index m_, Index steps_) {
    n = n_;
    m = m_;
    steps = steps_;
    kf.resize(n, m);
    sm.resize(n);
    for (auto& a : J) a.resize(n, n);
    for (auto* a : {&JD, &nn, &P_next, &trans_resid, &trans_cross, &prev_moment, &obs_moment}) a->resize(n, n);
    for (auto* a : {&mm, &obs_resid}) a->resize(m, m);
    for (auto* a : {&hp, &mn, &obs_cross}) a->resize(m, n);
    for (auto* a : {&e, &fx, &x_next}) a->resize(n);
    r.resize(m);
    const auto slots = static_cast<std::size_t>(steps + 1);
    xs.resize(slots * static_cast<std::size_t>(n));
    ps.resize(slots * static_cast<std::size_t>(n * n));
    stats.resize(static_cast<std::size_t>(em_statistics_size(n, m)));
    observed.resize(static_cast<std::size_t>(steps));
  }

  void store_slot(Index s) {
    store(kf.x, xs.data() + s * n);
    store(kf.P, ps.data() + s * n * n);
  }

  /// The transition from slot s to s + 1, with the smoothed state of slot
  /// s + 1 in (x_next, P_next), that of slot s in (sm.xs_next, sm.Ps_next)
  /// and D = P_next - Ppred in sm.D.  With J = Q Pinv the smoothed moments
  /// of the noise e = x_{s+1} - F x_s are
  ///   Cov(e) = Q + (J D) J^T,   Cov(e, x_s) = (J D) C^T,
  /// the lag-one covariance P_next C^T with the filtered parts cancelled
  /// exactly: a small Q stays accurate where the difference of the four
  /// covariance terms would lose it.
  void add_transition(int j) {
    const auto& F = kf.F;
    const auto& x_prev = sm.xs_next;
    fx.noalias() = mul(F, x_prev);
    e = x_next - fx;
    JD.noalias() = mul(J[j], sm.D);
    nn.noalias() = mul(JD, J[j].transpose());
    trans_resid += nn;
    trans_resid += kf.Q;
    nn.noalias() = mul(e, e.transpose());
    trans_resid += nn;
    nn.noalias() = mul(JD, sm.C[j].transpose());
    trans_cross += nn;
    nn.noalias() = mul(e, x_prev.transpose());
    trans_cross += nn;
    nn.noalias() = mul(x_prev, x_prev.transpose());
    prev_moment += nn;
    prev_moment += sm.Ps_next;
  }

  /// The observed step k with smoothed state (x, P) and its row in kf.z.
  template <class Vec, class Mat>
  void add_observation(const Vec& x, const Mat& P) {
    const auto& H = kf.H;
    r.noalias() = mul(H, x);
    r = kf.z - r;
    hp.noalias() = mul(H, P);
    mm.noalias() = mul(hp, H.transpose());
    obs_resid += mm;
    mm.noalias() = mul(r, r.transpose());
    obs_resid += mm;
    mn.noalias() = mul(r, x.transpose());
    obs_cross += mn;
    obs_cross -= hp;
    nn.noalias() = mul(x, x.transpose());
    obs_moment += nn;
    obs_moment += P;
  }

  /// Sequence i's statistics into `stats`, its log-likelihood into `ll`
  /// and its smoothed prior into x_init, p_init.
  Status sequence(const EmInputs& in, Index i, double* out_stats, double& ll, double* x_init, double* p_init) {
    batch::load_matrix(item(in.f, 2, i), kf.F);
    batch::load_matrix(item(in.h, 2, i), kf.H);
    batch::load_matrix(item(in.q, 2, i), kf.Q);
    batch::load_matrix(item(in.r, 2, i), kf.R);
    const StridedArray x0 = item(in.x0, 1, i);
    for (Index j = 0; j < n; ++j) kf.x.coeffRef(j) = x0.at(j);
    batch::load_matrix(item(in.p0, 2, i), kf.P);
    const StridedArray zs = batch::sub_view(in.zs, i);

    // Forward: the filter of batch_filter with missed measurements.
    store_slot(0);
    const double c = static_cast<double>(m) * kLn2Pi;
    double total = 0.0;
    for (Index k = 0; k < steps; ++k) {
      batch::load_row(zs, k, kf.z);
      kf.predict();
      if (!batch::all_finite(kf.x) || !batch::all_finite(kf.P)) return batch::non_finite_state_error(k);
      const bool seen = !batch::all_nan(kf.z);
      observed[static_cast<std::size_t>(k)] = seen;
      if (seen) {
        const batch::InverseStage stage = kf.update();
        if (stage == batch::InverseStage::Failed) {
          return Error::runtime("failed to invert innovation covariance at step " + std::to_string(k));
        }
        if (stage == batch::InverseStage::NonFinite) return batch::non_finite_state_error(k);
        total += kf.log_likelihood(c);
      }
      store_slot(k + 1);
    }
    ll = total;

    // Backward: the smoother of batch_smoother over the slots, down to the
    // prior, accumulating as each smoothed state appears.
    for (auto* a : {&trans_resid, &trans_cross, &prev_moment, &obs_moment}) a->setZero();
    obs_resid.setZero();
    obs_cross.setZero();
    sm.F = kf.F;
    sm.Q = kf.Q;
    load(xs.data() + steps * n, sm.xs_next);
    load(ps.data() + steps * n * n, sm.Ps_next);
    if (observed[static_cast<std::size_t>(steps - 1)]) {
      batch::load_row(zs, steps - 1, kf.z);
      add_observation(sm.xs_next, sm.Ps_next);
    }
    // As in the smoother, a block's gains are formed first (they depend on
    // the filtered states only), then the recursion through the smoothed
    // states runs.
    for (Index top = steps - 1; top >= 0; top -= kBlock) {
      const int count = top + 1 < kBlock ? static_cast<int>(top + 1) : kBlock;
      for (int j = 0; j < count; ++j) {
        const Index s = top - j;
        load(xs.data() + s * n, sm.xk[j]);
        load(ps.data() + s * n * n, sm.Pk[j]);
        if (!sm.gain(j)) {
          return Error::runtime("failed to invert the predicted covariance of step " + std::to_string(s));
        }
        J[j].noalias() = mul(kf.Q, sm.Pinv);
      }
      for (int j = 0; j < count; ++j) {
        const Index s = top - j;
        x_next = sm.xs_next;
        P_next = sm.Ps_next;
        sm.combine(j);
        add_transition(j);
        if (s >= 1 && observed[static_cast<std::size_t>(s - 1)]) {
          batch::load_row(zs, s - 1, kf.z);
          add_observation(sm.xs_next, sm.Ps_next);
        }
      }
    }
    // Sums of symmetric terms, symmetric up to the rounding of the products.
    batch::symmetrize(trans_resid);
    batch::symmetrize(prev_moment);
    batch::symmetrize(obs_resid);
    batch::symmetrize(obs_moment);
    double* o = out_stats;
    store(trans_resid, o);
    store(trans_cross, o += n * n);
    store(prev_moment, o += n * n);
    store(obs_resid, o += n * n);
    store(obs_cross, o += m * m);
    store(obs_moment, o += m * n);
    store(sm.xs_next, x_init);
    store(sm.Ps_next, p_init);
    const Index size = em_statistics_size(n, m);
    bool finite = std::isfinite(ll) || ll == -std::numeric_limits<double>::infinity();
    for (Index j = 0; j < size; ++j) finite = finite && std::isfinite(out_stats[j]);
    for (Index j = 0; j < n * n; ++j) finite = finite && std::isfinite(p_init[j]);
    for (Index j = 0; j < n; ++j) finite = finite && std::isfinite(x_init[j]);
    if (!finite) return Error::runtime("the smoothed statistics are not finite (an overflow)");
    return Status::success();
  }
};

struct Shape {
  Index count, steps, n, m;
};

Shape shape_of(const EmInputs& in) {
  return {in.zs.dims[0], in.zs.dims[1], in.x0.dims[in.x0.ndim - 1], in.zs.dims[2]};
}

template <class T>
void blocks_chunk(const EmInputs& in, const EmOutputs& out, Index begin, Index end, double* block_sums,
                  std::vector<std::optional<EmFailure>>& failures, LowestFailure& lowest) {
  const Shape sh = shape_of(in);
  const Index size = em_statistics_size(sh.n, sh.m);
  auto w = std::make_unique<Workspace<T>>();
  w->resize(sh.n, sh.m, sh.steps);
  for (Index b = begin; b < end; ++b) {
    const Index first = b * kSequencesPerBlock;
    const Index last = std::min(first + kSequencesPerBlock, sh.count);
    for (Index i = first; i < last; ++i) {
      if (lowest.beaten_by_lower(i)) return;
      double* stats = in.per_series ? out.statistics + i * size : w->stats.data();
      const Status s = w->sequence(in, i, stats, out.log_likelihood[i], out.x_init + i * sh.n,
                                   out.p_init + i * sh.n * sh.n);
      if (!s.ok()) {
        failures[static_cast<std::size_t>(b)] = EmFailure{i, s.error()};
        lowest.record(i);
        break;
      }
      if (in.per_series) continue;
      double* sum = block_sums + b * size;
      if (i == first) {
        std::copy(stats, stats + size, sum);
      } else {
        for (Index j = 0; j < size; ++j) sum[j] += stats[j];
      }
    }
  }
}

using BlocksChunk = void (*)(const EmInputs&, const EmOutputs&, Index, Index, double*,
                             std::vector<std::optional<EmFailure>>&, LowestFailure&);

struct SelectBlocks {
  template <class T>
  static BlocksChunk run() {
    return &blocks_chunk<T>;
  }
};

}  // namespace

std::optional<EmFailure> run_em_statistics(const EmInputs& in, const EmOutputs& out, runtime::WorkerPool& pool) {
  const Shape sh = shape_of(in);
  const Index size = em_statistics_size(sh.n, sh.m);
  const Index blocks = (sh.count + kSequencesPerBlock - 1) / kSequencesPerBlock;
  std::vector<double> block_sums(in.per_series ? 0 : static_cast<std::size_t>(blocks * size));
  std::vector<std::optional<EmFailure>> failures(static_cast<std::size_t>(blocks));
  LowestFailure lowest(sh.count);
  const BlocksChunk chunk = batch::dispatch_state_measurement<SelectBlocks>(sh.n, sh.m);
  const std::size_t workers = pool.size();
  const auto count = static_cast<std::size_t>(blocks);
  const std::size_t grain = std::clamp<std::size_t>(count / (workers * 8), 1, 4);
  pool.parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    chunk(in, out, static_cast<Index>(begin), static_cast<Index>(end), block_sums.data(), failures, lowest);
  });
  for (auto& f : failures) {
    if (f) return std::move(f);
  }
  if (!in.per_series) {
    std::copy(block_sums.begin(), block_sums.begin() + size, out.statistics);
    for (Index b = 1; b < blocks; ++b) {
      const double* sum = block_sums.data() + b * size;
      for (Index j = 0; j < size; ++j) out.statistics[j] += sum[j];
    }
  }
  return std::nullopt;
}

}  // namespace vexel::fit
