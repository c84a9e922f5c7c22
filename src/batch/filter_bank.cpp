#include "filter_bank.hpp"

#include "dispatch.hpp"
#include "linear_step.hpp"
#include "../runtime/worker_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace vexel::batch {

namespace {

using RangeFn = void (*)(const BankModel&, const BankBuffers&, Index, Index);

inline bool all_nan(const double* v, Index count) {
  for (Index i = 0; i < count; ++i) {
    if (!std::isnan(v[i])) return false;
  }
  return true;
}

/// Filters [begin, end) of the bank.  The working storage is set up once per
/// range (the shared model copied into it), never per filter.
template <class T>
void bank_range(const BankModel& model, const BankBuffers& b, Index begin, Index end) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  auto w = std::make_unique<KalmanStep<T>>();
  w->resize(n, m);
  w->F = model.F;
  w->H = model.H;
  w->Q = model.Q;
  w->R = model.R;
  const double c = kLn2Pi * static_cast<double>(m);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

  auto store = [&](double* xi, double* pi) {
    for (Index r = 0; r < n; ++r) xi[r] = w->x.coeff(r);
    for (Index r = 0; r < n; ++r)
      for (Index col = 0; col < n; ++col) pi[r * n + col] = w->P.coeff(r, col);
  };

  for (Index i = begin; i < end; ++i) {
    double* xi = b.x + i * n;
    double* pi = b.p + i * n * n;
    const double* zi = b.z + i * m;
    // A non-finite prior: nothing is done, the slot keeps x_i and P_i.
    if (!vexel::all_finite(xi, n) || !vexel::all_finite(pi, n * n)) {
      b.log_likelihoods[i] = kNaN;
      b.status[i] = kBadData;
      continue;
    }
    for (Index r = 0; r < n; ++r) w->x.coeffRef(r) = xi[r];
    for (Index r = 0; r < n; ++r)
      for (Index col = 0; col < n; ++col) w->P.coeffRef(r, col) = pi[r * n + col];
    // The linear prediction with the shared F and Q.
    w->predict();
    // A non-finite measurement: the prediction is the result, as a missed
    // measurement when the bank has gaps and z_i is all NaN.
    if (!vexel::all_finite(zi, m)) {
      store(xi, pi);
      const bool missed = b.gaps && all_nan(zi, m);
      b.log_likelihoods[i] = missed ? kNaN : kMinusInf;
      b.status[i] = missed ? kNoMeasurement : kBadData;
      continue;
    }
    for (Index r = 0; r < m; ++r) w->z.coeffRef(r) = zi[r];
    // Update; with no inverse at all, or a posterior that overflowed,
    // the prediction is the result.
    const InverseStage stage = w->update();
    if (stage == InverseStage::Failed || stage == InverseStage::NonFinite) {
      store(xi, pi);
      b.log_likelihoods[i] = kMinusInf;
      b.status[i] = kNotApplied;
      continue;
    }
    // Log-likelihood (minus infinity for every fallback stage).
    b.log_likelihoods[i] = w->log_likelihood(c);
    b.status[i] = stage == InverseStage::Cholesky ? kUpdated : kFallbackInverse;
    store(xi, pi);
  }
}

struct SelectRange {
  template <class T>
  static RangeFn run() {
    return &bank_range<T>;
  }
};

}  // namespace

void run_filter_bank(const BankModel& model, const BankBuffers& buffers, runtime::WorkerPool& pool) {
  const RangeFn range = dispatch_state_measurement<SelectRange>(buffers.dim_x, buffers.dim_z);
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
  const std::size_t grain = std::clamp<std::size_t>(count / (workers * 16), std::min<std::size_t>(min_grain, 2048), 2048);
  pool.parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    range(model, buffers, static_cast<Index>(begin), static_cast<Index>(end));
  });
}

}  // namespace vexel::batch
