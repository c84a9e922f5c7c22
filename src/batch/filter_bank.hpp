// One predict/update step of a bank of independent linear Kalman filters
// that share one model, computed on the worker pool.
//
// Every filter's data lives in owned, C-ordered buffers (copied from the
// caller's arrays before the map starts); each filter reads its own slot and
// writes its result back into the same slot, so the map needs no locking and
// no memory beyond its inputs, and the result of a filter does not depend on
// which worker ran it or when.
#pragma once

#include "../kernels/filter_status.hpp"
#include "../kernels/linalg.hpp"

#include <cstdint>

namespace vexel::runtime {
class WorkerPool;
}

namespace vexel::batch {

/// The model shared by every filter (finite, validated shapes).
struct BankModel {
  DMatrix F;  // (dim_x, dim_x)
  DMatrix H;  // (dim_z, dim_x)
  DMatrix Q;  // (dim_x, dim_x)
  DMatrix R;  // (dim_z, dim_z)
};

/// The bank's owned buffers, all C-ordered.
struct BankBuffers {
  Index count = 0;
  Index dim_x = 0;
  Index dim_z = 0;
  double* x = nullptr;               // (count, dim_x): prior means in, new means out
  double* p = nullptr;               // (count, dim_x, dim_x): prior covariances in, new out
  const double* z = nullptr;         // (count, dim_z)
  double* log_likelihoods = nullptr;  // (count,)
  std::int64_t* status = nullptr;    // (count,)
  /// A measurement of all NaN is a missed one (status 4, NaN
  /// log-likelihood) rather than a bad one (status 3).
  bool gaps = false;
};

/// Steps every filter of the bank on `pool`.  Blocks until all are done.
/// Touches nothing but the model and the buffers.
void run_filter_bank(const BankModel& model, const BankBuffers& buffers, runtime::WorkerPool& pool);

}  // namespace vexel::batch
