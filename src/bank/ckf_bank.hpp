// A bank of M covariance-form cubature filters that share dimensions, a
// time step and the model callbacks, stepped together around one callback
// call per predict and per update.
//
// A step has two native halves around the callback.  `draw_*_points` writes
// every filter's 2n cubature points into the caller's (count * 2n, n) array
// (filter i in rows 2n*i .. 2n*(i+1)-1) and decides which filters take part;
// the caller hands that array to fx or hx and copies the images into
// `images`; `finish_*` then runs each filter's step on its own rows.  Only
// `finish_*` changes the filters, so a callback that fails between the
// halves leaves the bank as it was.  Per-filter faults never fail a half: they become the filter's status.
//
// Each filter's arithmetic is the single filter's (src/ckf on a working
// CkfState), so a filter of the bank and a lone filter with the same inputs
// agree bit for bit, whatever the number of workers.  Nothing here touches
// Python.
#pragma once

#include "../kernels/filter_status.hpp"
#include "../kernels/linalg.hpp"
#include "../kernels/model_function.hpp"
#include "../kernels/result.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vexel::runtime {
class WorkerPool;
}

namespace vexel::bank {

/// Outcome of a filter's last update: the shared status codes.
using vexel::FilterStatus;
using vexel::kBadData;
using vexel::kFallbackInverse;
using vexel::kNoMeasurement;
using vexel::kNotApplied;
using vexel::kUpdated;

struct CkfBank {
  Index count = 0;
  Index dim_x = 0;
  Index dim_z = 0;
  double dt = 0.0;

  // Filter state, C order: (count, n), (count, n, n).
  std::vector<double> x, P, x_prior, P_prior;
  // Noise: one (n, n) / (m, m) matrix for all, or one per filter.
  std::vector<double> Q, R;
  bool q_per_filter = false;
  bool r_per_filter = false;

  // Outcome of the last update, per filter.
  std::vector<std::int64_t> status;
  std::vector<double> log_likelihood, nis;
  std::vector<std::uint64_t> jitter_count;
  // Status a failed prediction leaves for the next update (0: none); a
  // prediction that succeeds later clears it.
  std::vector<std::int64_t> pending;

  // Angle components: states wrapped to (-pi, pi] and unwrapped around their
  // circular mean after fx; measurement images unwrapped around z.
  std::vector<Index> angle_states, angle_measurements;

  // Step storage, sized with the bank: the measurements of an update, and
  // for Python callbacks their images (count * 2n rows of n or m columns;
  // during an update followed by every filter's Cholesky factor of P, so its
  // points need not be factored again), allocated by the first step that
  // calls Python (a bank of compiled models keeps its images per chunk).
  std::vector<double> images, z;
  std::vector<double> jitter;              // of each filter's points just drawn
  std::vector<std::int64_t> step_status;   // -1: taking part; else the outcome

  /// An empty bank of `count` filters: zero means, identity covariances and
  /// noises, status 4 and NaN diagnostics.  Fails with "dim_x and dim_z must
  /// be positive", "dt must be finite" or MemoryError.
  static Result<CkfBank> create(std::uint64_t count, std::uint64_t dim_x, std::uint64_t dim_z, double dt);

  Index points_per_filter() const { return 2 * dim_x; }
  /// Doubles of `images` per filter.
  Index images_per_filter() const {
    return std::max(2 * dim_x * std::max(dim_x, dim_z), 2 * dim_x * dim_z + dim_x * dim_x);
  }
  /// Append `added` filters in the initial state (zero mean, identity
  /// covariance, the shared noises or identities, status 4).  All storage is
  /// reserved before anything changes, so a MemoryError leaves the bank as it
  /// was.
  void grow(Index added);
  /// Allocate `images` for the bank's size, if it is not yet (MemoryError).
  void reserve_images();
};

/// Half one of a prediction: every filter's points of (x, P) into `points`
/// (count * 2n rows of n, C order).  A filter whose P cannot be factored
/// gets its mean in all its rows and takes no part.
void draw_prediction_points(CkfBank& b, runtime::WorkerPool& pool, double* points);

/// Half two of a prediction, with fx's images in `images`: mean, covariance
/// plus Q, prior.  A filter with non-finite images or a non-finite result is
/// left as it was, and its next update reports status 3 or 2.
void finish_prediction(CkfBank& b, runtime::WorkerPool& pool);

/// Half one of an update, with the measurements in `z`: the status of the
/// filters that cannot take part (a failed prediction's mark, status 4 for
/// an all-NaN row, 3 for a partly non-finite one, 2 when P cannot be
/// factored) and every filter's points into `points` (its mean repeated
/// where there are none).
void draw_update_points(CkfBank& b, runtime::WorkerPool& pool, double* points);

/// Half two of an update, with hx's images in `images`: the update of every
/// filter taking part, its status, log-likelihood and NIS (NaN for 2, 3, 4).
void finish_update(CkfBank& b, runtime::WorkerPool& pool);

/// A whole prediction with a compiled fx, filter by filter on the pool: the
/// halves above with the model called on each filter's points in between,
/// so no bank-wide array of points is needed.  A nonzero return fails that
/// filter alone (its next update reports status 3, as for non-finite
/// images).
void predict_with(CkfBank& b, runtime::WorkerPool& pool, const ModelFunctionCall& fx, double dt);

/// A whole update with a compiled hx, the same way (a nonzero return gives
/// that filter status 3).
void update_with(CkfBank& b, runtime::WorkerPool& pool, const ModelFunctionCall& hx);

/// Keep the filters at `indices` (distinct, in range), in that order.
void keep_filters(CkfBank& b, const std::vector<Index>& indices);

}  // namespace vexel::bank
