// Docstring bodies of the three batch functions of vexel_ckf._native (their
// text signatures come from the parameter lists).
#pragma once

namespace vexel::py {

inline constexpr char kRtsSmoothDoc[] =
    "Rauch-Tung-Striebel fixed-interval smoother.\n"
    "\n"
    "Inputs:\n"
    "  xs: (N, dim_x) -- filtered means\n"
    "  ps: (N, dim_x, dim_x) -- filtered covariances\n"
    "  fs: (N, dim_x, dim_x) or (N-1, dim_x, dim_x) -- per-step transitions\n"
    "  qs: (N, dim_x, dim_x) or (N-1, dim_x, dim_x) -- per-step process noise\n"
    "\n"
    "With length N (FilterPy and batch_filter_linear convention), entry k is\n"
    "the k-1 -> k transition: the k -> k+1 step uses fs[k+1] / qs[k+1] and\n"
    "entry 0 is unused. With length N-1, entry k is the k -> k+1 transition.\n"
    "fs and qs are each read by their own length.\n"
    "\n"
    "Returns (xs_smooth, Ps_smooth) of the same shapes as (xs, ps). The\n"
    "inverse of the one-step-predicted covariance uses the same\n"
    "Cholesky-with-fallback path as the filter's innovation inversion.";
inline constexpr char kBatchFilterLinearDoc[] =
    "Linear Kalman batch filter: a single pass over an observation sequence,\n"
    "with all state and matrices held in native code.\n"
    "\n"
    "Inputs (all already broadcast to length N by the Python wrapper):\n"
    "  x0: (dim_x,)\n"
    "  p0: (dim_x, dim_x)\n"
    "  zs: (N, dim_z)\n"
    "  fs: (N, dim_x, dim_x) -- F_k for the predict step k-1 -> k\n"
    "  hs: (N, dim_z, dim_x) -- H_k for the linear measurement at step k\n"
    "  qs: (N, dim_x, dim_x)\n"
    "  rs: (N, dim_z, dim_z)\n"
    "\n"
    "Returns (xs, Ps, log_likelihoods) with shapes (N, dim_x),\n"
    "(N, dim_x, dim_x), (N,). The output (xs, Ps) is directly consumable by\n"
    "rts_smooth; no extra reshape needed.\n"
    "\n"
    "Posterior update uses Joseph form\n"
    "(P = (I - K H) P (I - K H)^T + K R K^T) to keep P PSD over long runs.";
inline constexpr char kBatchParallelStepDoc[] =
    "Parallel batch step: M independent linear KFs sharing F, H, Q, R; each\n"
    "has its own (x_i, P_i) and a single observation z_i.\n"
    "\n"
    "Inputs:\n"
    "  xs: (M, dim_x)\n"
    "  ps: (M, dim_x, dim_x)\n"
    "  zs: (M, dim_z)\n"
    "  f:  (dim_x, dim_x)\n"
    "  h:  (dim_z, dim_x)\n"
    "  q:  (dim_x, dim_x)\n"
    "  r:  (dim_z, dim_z)\n"
    "\n"
    "Returns (xs_new, ps_new, log_likelihoods, status) with shapes\n"
    "(M, dim_x), (M, dim_x, dim_x), (M,), (M,). Status code per filter:\n"
    "  0 = ok, 1 = singular_innovation fallback, 2 = no update applied,\n"
    "  3 = non-finite x_i, P_i or z_i, update skipped.\n"
    "Raises ValueError when the shared F, H, Q or R holds a NaN or inf.";

}  // namespace vexel::py
