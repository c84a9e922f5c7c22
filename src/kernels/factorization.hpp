// Guarded factorisations shared by every filter path: the plain Cholesky
// factorisation, the jittered Cholesky used for cubature points, the
// three-stage innovation inverse, and the two jitter-recording rules.
//
// All functions are pure: inputs are never modified, failures are reported
// as a false return or an Error value, and nothing here touches filter state.
#pragma once

#include "linalg.hpp"
#include "result.hpp"

#include <cstdint>

namespace vexel {

/// Plain Cholesky factorisation A = L L^T reading only the lower triangle of
/// A.  Returns false as soon as a pivot is not a finite number strictly
/// greater than 0.0 (zero, negative, NaN or +inf); on success L is lower
/// triangular with its strict upper triangle exactly 0.0.  L holds a partial
/// factor after a failure.
bool plain_cholesky(const DMatrix& A, DMatrix& L);

/// Scratch of the factorisations, for callers that factor many matrices of
/// one size: kept between calls, it makes them allocation-free.
struct FactorWork {
  DMatrix W;  // lower-triangle copy being factored
  DMatrix L;  // factor of a plain attempt
  DVector d;  // jitter scale
};

/// plain_cholesky with caller-owned scratch W.
bool plain_cholesky(const DMatrix& A, DMatrix& W, DMatrix& L);

/// Lower factor of a symmetric positive (semi)definite matrix and the
/// diagonal jitter that had to be added to obtain it (0.0 when none).
struct CholeskyFactor {
  DMatrix L;
  double jitter;
};

/// Plain Cholesky of A, else up to seven retries with s * d[i] added to each
/// diagonal entry (s = 1e-12, times 10.0 per failed retry; d[i] = A[i, i] when
/// finite and positive, else 1.0).  Fails with RuntimeError "unable to compute
/// stable Cholesky factor" when every attempt fails.
Result<CholeskyFactor> stable_cholesky(const DMatrix& A);

/// stable_cholesky into L with caller-owned scratch; false (L unspecified)
/// where stable_cholesky fails.
bool stable_cholesky(const DMatrix& A, FactorWork& work, DMatrix& L, double& jitter);

/// Inverse of an innovation covariance and whether a fallback stage was used.
struct InnovationInverse {
  DMatrix SI;
  bool used_fallback;
};

/// Inverse of S through the chain Cholesky inverse -> general inverse ->
/// pseudo-inverse.  Fails with RuntimeError "failed to invert innovation
/// covariance" only when the pseudo-inverse stage also reports failure.
Result<InnovationInverse> invert_innovation(const DMatrix& S);

/// invert_innovation into SI with caller-owned scratch; false where
/// invert_innovation fails.
bool invert_innovation(const DMatrix& S, FactorWork& work, DMatrix& SI, bool& used_fallback);

/// Stage 1: inverse of S by solving L L^T X = I with L the plain Cholesky
/// factor (result not symmetrised).  False when the factorisation fails.
bool cholesky_inverse(const DMatrix& S, DMatrix& out);
bool cholesky_inverse(const DMatrix& S, FactorWork& work, DMatrix& out);

/// Stage 2: general inverse of S, closed cofactor forms for sizes 1 to 4
/// (false only on an exactly zero value or determinant) and LU with partial
/// pivoting from size 5 on (false only on an exactly zero pivot).
bool general_inverse(const DMatrix& S, DMatrix& out);

/// Stage 3: Moore-Penrose pseudo-inverse V diag(sigma^+) U^T from a full SVD,
/// inverting singular values > 1e-12 (absolute) and zeroing the rest.  False
/// only when a set of singular vectors was not computed, which happens when
/// S holds a NaN or an infinity (the SVD then refuses the input).
bool pseudo_inverse(const DMatrix& S, DMatrix& out);

/// Jitter bookkeeping of one filter object.
struct JitterStats {
  double last_jitter = 0.0;
  double max_jitter = 0.0;
  std::uint64_t jitter_count = 0;
};

/// Covariance-form rule: last_jitter = j always; if j > 0 the count grows by
/// one (saturating) and max_jitter is raised to j if j is larger.  Cannot fail.
void record_jitter_overwrite(JitterStats& stats, double j);

/// Square-root rule: only if j > 0, last_jitter and max_jitter are raised to
/// at least j (a NaN stored value is ignored) and the count grows by one
/// (saturating).  Cannot fail.
void record_jitter_max(JitterStats& stats, double j);

}  // namespace vexel
