// Householder QR triangularisation for the square-root filter: the lower
// factor L of A^T A obtained from A without ever forming A^T A.
#pragma once

#include "linalg.hpp"
#include "result.hpp"

namespace vexel {

/// Lower-triangular n x n L with non-negative diagonal and L L^T = A^T A,
/// as R^T of a Householder QR of A (A has n columns and is overwritten).
/// Fails with RuntimeError "qr_to_lower_factor requires at least n rows" when
/// A has fewer than n rows; non-finite entries propagate unchecked.
Result<DMatrix> qr_to_lower_factor(DMatrix A, Index n);

}  // namespace vexel
