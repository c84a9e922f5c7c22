#include "panel.hpp"

#include "../batch/dispatch.hpp"
#include "../batch/sequence_routines.hpp"
#include "../runtime/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

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
  const std::size_t grain = std::clamp<std::size_t>(n / (workers * 8), 1, 64);
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

using FilterChunk = void (*)(const PanelInputs&, const PanelFilterOutputs&, Index, Index, FirstIndex&);
using SmootherChunk = void (*)(const PanelInputs&, const PanelSmootherOutputs&, Index, Index, FirstIndex&, FirstIndex&);
using RtsChunk = void (*)(const PanelRtsInputs&, double*, double*, Index, Index, FirstIndex&, FirstIndex&);

struct SelectFilter {
  template <class T>
  static FilterChunk run() {
    return &filter_chunk<T>;
  }
};
template <class T>
struct SmootherWith {
  template <class U>
  static SmootherChunk run() {
    // A fixed filter size fixes the smoother's state size; only run-time
    // filter sizes meet every smoother type.
    if constexpr (T::kN == Eigen::Dynamic || T::kN == U::kN) {
      return &smoother_chunk<T, U>;
    } else {
      return nullptr;
    }
  }
};
struct SelectSmoother {
  template <class T>
  static SmootherChunk run(Index n) {
    return batch::dispatch_state<SmootherWith<T>>(n);
  }
};
struct SelectRts {
  template <class T>
  static RtsChunk run() {
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
  const FilterChunk chunk = batch::dispatch_state_measurement<SelectFilter>(n, m);
  FirstIndex failed(in.zs.dims[0]);
  for_sequences(pool, in.zs.dims[0], [&](Index begin, Index end) { chunk(in, out, begin, end, failed); });
  return failed.get();
}

SmoothingFailures run_panel_smoother(const PanelInputs& in, const PanelSmootherOutputs& out, runtime::WorkerPool& pool) {
  const auto [n, steps, m] = shape_of(in);
  const SmootherChunk chunk = batch::dispatch_state_measurement<SelectSmoother>(n, m, n);
  if (chunk == nullptr) internal_failure("chunk != nullptr", __FILE__, __LINE__);
  FirstIndex failed(in.zs.dims[0]);
  FirstIndex overflowed(in.zs.dims[0] * steps);
  for_sequences(pool, in.zs.dims[0], [&](Index begin, Index end) { chunk(in, out, begin, end, failed, overflowed); });
  return {failed.get(), overflowed.get()};
}

SmoothingFailures run_panel_rts(const PanelRtsInputs& in, double* xs_out, double* ps_out, runtime::WorkerPool& pool) {
  const RtsChunk chunk = batch::dispatch_state<SelectRts>(in.xs.dims[2]);
  FirstIndex failed(in.xs.dims[0]);
  FirstIndex overflowed(in.xs.dims[0] * in.xs.dims[1]);
  for_sequences(pool, in.xs.dims[0],
                [&](Index begin, Index end) { chunk(in, xs_out, ps_out, begin, end, failed, overflowed); });
  return {failed.get(), overflowed.get()};
}

}  // namespace vexel::panel
