#include "ckf_bank.hpp"

#include "bank_tiles.hpp"

#include "../angles/angles.hpp"
#include "../runtime/worker_pool.hpp"
#include "../ckf/ckf_ops.hpp"
#include "../ckf/ckf_state.hpp"
#include "../kernels/cubature.hpp"
#include "../kernels/factorization.hpp"
#include "../kernels/storage.hpp"
#include "../kernels/tracking_models.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

namespace vexel::bank {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kTakingPart = -1;

std::size_t sz(Index v) { return static_cast<std::size_t>(v); }

void load_vector(const double* src, DVector& v) {
  for (Index i = 0; i < v.size(); ++i) v.coeffRef(i) = src[i];
}

void store_vector(const DVector& v, double* dst) {
  for (Index i = 0; i < v.size(); ++i) dst[i] = v.coeff(i);
}

/// A (rows, cols) block stored in C order into a column-major matrix.
void load_rows(const double* src, DMatrix& M) {
  const Index rows = M.rows();
  const Index cols = M.cols();
  for (Index r = 0; r < rows; ++r) {
    for (Index c = 0; c < cols; ++c) M.coeffRef(r, c) = src[r * cols + c];
  }
}

/// The 2n rows of a filter without points: its mean in every row, so the
/// callbacks still see finite values in the fixed layout.
void fill_with_mean(const double* x, Index n, double* rows) {
  for (Index r = 0; r < 2 * n; ++r) std::memcpy(rows + r * n, x, sz(n) * sizeof(double));
}

/// Runs body(begin, end) over chunks of the filters on the pool.  Chunks are
/// large enough that the working storage each sets up costs nothing next to
/// its filters, small enough to balance the load.
template <class Body>
void for_each_chunk(const CkfBank& b, runtime::WorkerPool& pool, Body&& body) {
  const auto count = static_cast<std::size_t>(b.count);
  if (count == 0) return;
  const std::size_t grain = std::clamp<std::size_t>(count / (pool.size() * 8), 16, 1024);
  pool.parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    body(static_cast<Index>(begin), static_cast<Index>(end));
  });
}

/// Working storage of one chunk of filters: a working filter holding the
/// shared noise once, and every temporary of its steps, sized once.
struct Chunk {
  CkfState s;
  CkfWork work;
  DMatrix L, X, Y, Z;
  DVector z;

  explicit Chunk(const CkfBank& b) : s(std::move(CkfState::create(sz(b.dim_x), sz(b.dim_z), b.dt)).value()) {
    if (!b.q_per_filter) load_rows(b.Q.data(), s.Q);
    if (!b.r_per_filter) load_rows(b.R.data(), s.R);
    z.resize(b.dim_z);
  }
};

/// Filter i's rows of the callback's array: its points of (x, P) (its
/// factor left in c.L, its jitter in b.jitter), or its mean in every row
/// when P cannot be factored (false).
bool draw_rows(CkfBank& b, Index i, Chunk& c, double* rows) {
  const Index n = b.dim_x;
  load_vector(b.x.data() + i * n, c.s.x);
  load_rows(b.P.data() + i * n * n, c.s.P);
  double jitter = 0.0;
  const bool drawn = stable_cholesky(c.s.P, c.work.factor, c.L, jitter);
  b.jitter[sz(i)] = drawn ? jitter : 0.0;
  if (!drawn) {
    fill_with_mean(b.x.data() + i * n, n, rows);
    return false;
  }
  cubature_points_from_factor(c.s.x, c.L, rows, n, 1);
  return true;
}

/// A covariance the filter step left exactly symmetric: its column-major
/// storage is its C order.
void store_symmetric(const DMatrix& M, double* dst) {
  std::memcpy(dst, M.data(), sizeof(double) * sz(M.size()));
}

/// Filter i's jitter count follows the working filter's: the step recorded
/// its jitter exactly when a lone filter's would.
void count_jitter(CkfBank& b, Index i, const CkfState& s, std::uint64_t count_before) {
  if (s.jitter.jitter_count != count_before) saturating_increment(b.jitter_count[sz(i)]);
}

/// Where an update keeps each filter's factor of P, behind the hx images.
double* update_factors(CkfBank& b) { return b.images.data() + b.count * 2 * b.dim_x * b.dim_z; }

/// The update of filter i (taking part) from its rows of `points` and
/// `images`; returns its status.  On success the working state holds the
/// log-likelihood and NIS.
std::int64_t update_one(CkfBank& b, Chunk& c, Index i, const double* zrows, const double* factor) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  CkfState& s = c.s;
  if (!all_finite(zrows, 2 * n * m)) return kBadData;
  load_vector(b.z.data() + i * m, c.z);
  c.Z.resize(2 * n, m);
  load_rows(zrows, c.Z);
  // The innovation of an angle goes the short way round.
  angles::unwrap_columns_around(c.Z, b.angle_measurements, c.z);
  // The points hx saw, rebuilt from the factor kept when they were drawn
  // (the same arithmetic, so the same bits).
  load_vector(b.x.data() + i * n, s.x);
  load_rows(b.P.data() + i * n * n, s.P);
  c.L.resize(n, n);
  std::memcpy(c.L.data(), factor, sizeof(double) * sz(n * n));
  cubature_points_from_factor(s.x, c.L, c.X);
  if (b.r_per_filter) load_rows(b.R.data() + i * m * m, s.R);
  const std::uint64_t fallbacks = s.singular_innovation_count;
  const std::uint64_t jitters = s.jitter.jitter_count;
  // Fails at the inverse (the jitter still counts, as for a lone filter) or
  // on a non-finite result (nothing counts).
  const Status updated = update_from_points(s, c.X, c.Z, c.z, s.R, b.jitter[sz(i)], c.work);
  count_jitter(b, i, s, jitters);
  if (!updated.ok()) return kNotApplied;
  angles::wrap_entries(s.x, b.angle_states);
  store_vector(s.x, b.x.data() + i * n);
  store_symmetric(s.P, b.P.data() + i * n * n);
  return s.singular_innovation_count != fallbacks ? kFallbackInverse : kUpdated;
}

/// Half two of filter i's prediction, with fx's images in its rows of
/// b.images.
void finish_prediction_one(CkfBank& b, Chunk& c, Index i, const double* rows) {
  const Index n = b.dim_x;
  CkfState& s = c.s;
  DMatrix& Y = c.Y;
  const std::size_t u = sz(i);
  if (b.step_status[u] != kTakingPart) {
    b.pending[u] = b.step_status[u];
    return;
  }
  if (!all_finite(rows, 2 * n * n)) {
    b.pending[u] = kBadData;
    return;
  }
  Y.resize(2 * n, n);
  load_rows(rows, Y);
  // Angles are averaged on the circle: each is moved next to the
  // points' mean direction first, so the mean does not straddle the seam.
  angles::unwrap_columns_around_mean(Y, b.angle_states);
  if (b.q_per_filter) load_rows(b.Q.data() + i * n * n, s.Q);
  // A non-finite mean or covariance (an overflow in fx) is refused.
  const std::uint64_t jitters = s.jitter.jitter_count;
  if (!commit_prediction(s, Y, b.jitter[u], c.work).ok()) {
    b.pending[u] = kNotApplied;
    return;
  }
  count_jitter(b, i, s, jitters);
  // A prediction that succeeds supersedes an earlier failed one: its
  // mark must not make the next update skip this filter.
  b.pending[u] = 0;
  angles::wrap_entries(s.x, b.angle_states);
  store_vector(s.x, b.x.data() + i * n);
  store_vector(s.x, b.x_prior.data() + i * n);
  store_symmetric(s.P, b.P.data() + i * n * n);
  store_symmetric(s.P, b.P_prior.data() + i * n * n);
}

/// Half one of filter i's update: its status so far and its points of
/// (x, P) into `rows`, its factor into `factor`.
void draw_update_one(CkfBank& b, Chunk& c, Index i, double* rows, double* factor) {
  const Index m = b.dim_z;
  const double* zi = b.z.data() + i * m;
  std::int64_t st = kTakingPart;
  if (b.pending[sz(i)] != 0) {
    st = b.pending[sz(i)];
  } else if (std::all_of(zi, zi + m, [](double v) { return std::isnan(v); })) {
    st = kNoMeasurement;
  } else if (!all_finite(zi, m)) {
    st = kBadData;
  }
  // Every filter's points go to hx (the layout is fixed); only those
  // taking part are updated from them.
  if (draw_rows(b, i, c, rows)) {
    // Kept as stored (column-major) and read back the same way.
    std::memcpy(factor, c.L.data(), sizeof(double) * sz(c.L.size()));
  } else if (st == kTakingPart) {
    st = kNotApplied;
  }
  b.step_status[sz(i)] = st;
}

/// Half two of filter i's update, with hx's images in `rows` and the factor
/// its points were drawn from in `factor`.
void finish_update_one(CkfBank& b, Chunk& c, Index i, const double* rows, const double* factor) {
  const std::size_t u = sz(i);
  std::int64_t st = b.step_status[u];
  b.pending[u] = 0;
  if (st == kTakingPart) st = update_one(b, c, i, rows, factor);
  b.status[u] = st;
  if (st >= kNotApplied) {
    b.log_likelihood[u] = kNaN;
    b.nis[u] = kNaN;
  } else {
    b.log_likelihood[u] = c.s.log_likelihood;
    b.nis[u] = c.s.nis;
  }
}


// ---------------------------------------------------------------------------
// Tiles: a bank's filters several at a time, one per SIMD lane (see
// bank_tiles.hpp).  The lane-wise kernels do the arithmetic; everything that
// depends on one filter's own data (the jitter schedule, the fallback
// inverse, angles, the status rules) runs here lane by lane with the scalar
// functions of the one-filter path, so a filter's results never depend on
// its tile-mates.

/// Per-lane buffers and work of a chunk's tiles, sized once per chunk: the
/// points a compiled model reads, the images it writes, room for predicted
/// images whose angles are unwrapped (the update's kernel unwraps
/// measurement angles itself), and two tiles' work (factored together).
struct TileScratch {
  const TileKernels& k;
  int lanes;
  TileWork work[2];
  TileWork* t = work;  // the tile at hand's
  std::vector<double> points, images, unwrapped;
  double* point_rows[kMaxTileLanes] = {};
  double* image_rows[kMaxTileLanes] = {};

  TileScratch(const CkfBank& b, const TileKernels& kernels) : k(kernels), lanes(kernels.lanes) {
    const Index n = b.dim_x;
    const std::size_t per = sz(2 * n * std::max(n, b.dim_z));
    points.assign(sz(lanes) * sz(2 * n * n), 0.0);
    images.assign(sz(lanes) * per, 0.0);
    if (!b.angle_states.empty()) unwrapped.assign(sz(lanes) * per, 0.0);
    for (int l = 0; l < lanes; ++l) {
      point_rows[l] = points.data() + sz(l) * sz(2 * n * n);
      image_rows[l] = images.data() + sz(l) * per;
    }
  }
};

/// Entry e of lane l of a tile quantity.
double& lane(double* a, const TileScratch& ts, Index e, int l) { return a[e * ts.lanes + l]; }

/// The tile's filters from `first` as lane pointers into per-filter storage
/// of `per` doubles (shared storage: every lane the same).
void lane_pointers(const std::vector<double>& v, Index first, Index per, bool per_filter, int lanes,
                   const double** out) {
  for (int l = 0; l < lanes; ++l) out[l] = v.data() + (per_filter ? (first + l) * per : 0);
}

/// Lane pointers to the rows of filters first.. in an array of `per`
/// doubles per filter.
void rows_of(double* base, Index first, Index per, int lanes, double** out) {
  for (int l = 0; l < lanes; ++l) out[l] = base + (first + l) * per;
}

/// Draws the points of the tile's filters into rows[l], its lane-wise plain
/// factors in ts.t->L (`plain`: the lanes where they exist): the jitter
/// schedule for the other lanes (each alone, as draw_rows), the mean in
/// every row where nothing factors (no rows: the factors only).  Sets
/// b.jitter; leaves each drawn lane's factor in ts.t->L; returns the drawn
/// lanes' bits.
unsigned draw_tile(CkfBank& b, Chunk& c, TileScratch& ts, Index first, double* const* rows, unsigned plain) {
  const Index n = b.dim_x;
  const double* P[kMaxTileLanes];
  const double* x[kMaxTileLanes];
  lane_pointers(b.P, first, n * n, true, ts.lanes, P);
  lane_pointers(b.x, first, n, true, ts.lanes, x);
  unsigned drawn = plain;
  for (int l = 0; l < ts.lanes; ++l) {
    b.jitter[sz(first + l)] = 0.0;
    if (plain & (1u << l)) continue;
    load_rows(P[l], c.s.P);
    double jitter = 0.0;
    if (!stable_cholesky(c.s.P, c.work.factor, c.L, jitter)) continue;
    b.jitter[sz(first + l)] = jitter;
    drawn |= 1u << l;
    for (Index e = 0; e < n * n; ++e) lane(ts.t->L, ts, e, l) = c.L.data()[e];
  }
  if (rows == nullptr) return drawn;
  ts.k.points(x, *ts.t, rows);
  for (int l = 0; l < ts.lanes; ++l) {
    if (!(drawn & (1u << l))) fill_with_mean(x[l], n, rows[l]);
  }
  return drawn;
}

/// fx's images of lane l with the angle states unwrapped around their
/// circular means, as finish_prediction_one does on its matrix, in the
/// scratch (the bank's own images stay as they came).
double* unwrapped_rows(const CkfBank& b, Chunk& c, TileScratch& ts, int l, const double* rows) {
  const Index n = b.dim_x;
  c.Y.resize(2 * n, n);
  load_rows(rows, c.Y);
  angles::unwrap_columns_around_mean(c.Y, b.angle_states);
  double* out = ts.unwrapped.data() + sz(l) * (ts.unwrapped.size() / sz(ts.lanes));
  for (Index i = 0; i < 2 * n; ++i) {
    for (Index k = 0; k < n; ++k) out[i * n + k] = c.Y.coeff(i, k);
  }
  return out;
}

/// The angle entries of a mean just stored, wrapped (as the one-filter path
/// wraps them before storing).
void wrap_stored(const CkfBank& b, double* x) {
  for (const Index e : b.angle_states) x[e] = angles::wrap(x[e]);
}

/// Half two of the tile's predictions (finish_prediction_one lane by lane),
/// with fx's images of filter first + l in rows[l].
void finish_prediction_tile(CkfBank& b, Chunk& c, TileScratch& ts, Index first, double* const* rows) {
  const Index n = b.dim_x;
  unsigned part = 0;
  double* images[kMaxTileLanes];
  for (int l = 0; l < ts.lanes; ++l) {
    const std::size_t u = sz(first + l);
    images[l] = rows[l];
    if (b.step_status[u] != kTakingPart) {
      b.pending[u] = b.step_status[u];
      continue;
    }
    part |= 1u << l;
    if (!b.angle_states.empty()) images[l] = unwrapped_rows(b, c, ts, l, rows[l]);
  }
  if (part == 0) return;
  const double* Q[kMaxTileLanes];
  double* x[kMaxTileLanes];
  double* x_prior[kMaxTileLanes];
  double* P[kMaxTileLanes];
  double* P_prior[kMaxTileLanes];
  lane_pointers(b.Q, first, n * n, b.q_per_filter, ts.lanes, Q);
  rows_of(b.x.data(), first, n, ts.lanes, x);
  rows_of(b.x_prior.data(), first, n, ts.lanes, x_prior);
  rows_of(b.P.data(), first, n * n, ts.lanes, P);
  rows_of(b.P_prior.data(), first, n * n, ts.lanes, P_prior);
  const unsigned finite = ts.k.predict(images, Q, part, x, x_prior, P, P_prior, *ts.t);
  for (int l = 0; l < ts.lanes; ++l) {
    const unsigned bit = 1u << l;
    if (!(part & bit)) continue;
    const std::size_t u = sz(first + l);
    if (!(finite & bit)) {
      // Non-finite images fail the filter (kBadData); from finite ones, a
      // non-finite mean or covariance (an overflow in fx) is refused
      // (kNotApplied).  Finite results come from finite images only.
      b.pending[u] = all_finite(rows[l], 2 * n * n) ? kNotApplied : kBadData;
    } else {
      if (b.jitter[u] > 0.0) saturating_increment(b.jitter_count[u]);
      b.pending[u] = 0;
      wrap_stored(b, x[l]);
      wrap_stored(b, x_prior[l]);
    }
  }
}

/// The status filter i starts its update with (draw_update_one's rules).
std::int64_t update_entry_status(const CkfBank& b, Index i) {
  const Index m = b.dim_z;
  const double* zi = b.z.data() + i * m;
  if (b.pending[sz(i)] != 0) return b.pending[sz(i)];
  if (std::all_of(zi, zi + m, [](double v) { return std::isnan(v); })) return kNoMeasurement;
  if (!all_finite(zi, m)) return kBadData;
  return kTakingPart;
}

/// Half one of the tile's updates: statuses, points into rows[l], factors
/// left in ts.t->L.
void draw_update_tile(CkfBank& b, Chunk& c, TileScratch& ts, Index first, double* const* rows, unsigned plain) {
  const unsigned drawn = draw_tile(b, c, ts, first, rows, plain);
  for (int l = 0; l < ts.lanes; ++l) {
    std::int64_t st = update_entry_status(b, first + l);
    if (!(drawn & (1u << l)) && st == kTakingPart) st = kNotApplied;
    b.step_status[sz(first + l)] = st;
  }
}

/// Half two of the tile's updates (finish_update_one lane by lane), with
/// hx's images of filter first + l in rows[l] and the factors its points
/// were drawn from in ts.t->L.
void finish_update_tile(CkfBank& b, Chunk& c, TileScratch& ts, Index first, double* const* rows) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  std::int64_t st[kMaxTileLanes];
  unsigned part = 0;
  for (int l = 0; l < ts.lanes; ++l) {
    const std::size_t u = sz(first + l);
    st[l] = b.step_status[u];
    b.pending[u] = 0;
    if (st[l] == kTakingPart) part |= 1u << l;
  }
  if (part != 0) {
    const double* x[kMaxTileLanes];
    const double* P[kMaxTileLanes];
    const double* R[kMaxTileLanes];
    const double* z[kMaxTileLanes];
    lane_pointers(b.x, first, n, true, ts.lanes, x);
    lane_pointers(b.P, first, n * n, true, ts.lanes, P);
    lane_pointers(b.R, first, m * m, b.r_per_filter, ts.lanes, R);
    lane_pointers(b.z, first, m, true, ts.lanes, z);
    unsigned angle_columns = 0;
    for (const Index k : b.angle_measurements) angle_columns |= 1u << k;
    const unsigned factored = ts.k.innovation(x, rows, R, z, angle_columns, *ts.t);
    // Images with a NaN or an infinity fail the filter; they always leave S
    // unfactored, so only those lanes are looked at.
    for (int l = 0; l < ts.lanes; ++l) {
      const unsigned bit = 1u << l;
      if ((part & ~factored & bit) && !all_finite(rows[l], 2 * n * m)) {
        st[l] = kBadData;
        part &= ~bit;
      }
    }
    // The inverse's fallback stages, filter by filter.
    unsigned fallback = 0;
    unsigned inverted = part & factored;
    for (int l = 0; l < ts.lanes; ++l) {
      if (!(part & ~factored & (1u << l))) continue;
      fallback |= 1u << l;
      c.s.S.resize(m, m);
      for (Index e = 0; e < m * m; ++e) c.s.S.data()[e] = lane(ts.t->S, ts, e, l);
      if (!general_inverse(c.s.S, c.s.SI) && !pseudo_inverse(c.s.S, c.s.SI)) continue;
      inverted |= 1u << l;
      for (Index e = 0; e < m * m; ++e) lane(ts.t->SI, ts, e, l) = c.s.SI.data()[e];
    }
    double* xw[kMaxTileLanes];
    double* Pw[kMaxTileLanes];
    rows_of(b.x.data(), first, n, ts.lanes, xw);
    rows_of(b.P.data(), first, n * n, ts.lanes, Pw);
    const unsigned finite = ts.k.correct(z, inverted, xw, Pw, *ts.t);
    for (int l = 0; l < ts.lanes; ++l) {
      const unsigned bit = 1u << l;
      if (!(part & bit)) continue;
      const std::size_t u = sz(first + l);
      st[l] = kNotApplied;
      // A failed inverse still records the jitter; a non-finite result
      // records nothing.
      if (!(inverted & bit)) {
        if (b.jitter[u] > 0.0) saturating_increment(b.jitter_count[u]);
        continue;
      }
      if (!(finite & bit)) continue;
      if (b.jitter[u] > 0.0) saturating_increment(b.jitter_count[u]);
      wrap_stored(b, xw[l]);
      const double d2 = ts.t->d2[l];
      b.nis[u] = d2 < 0.0 ? 0.0 : d2;
      // The log-determinant from the factor of S (none where the inverse
      // needed a fallback: S was not positive definite).
      double ll = -std::numeric_limits<double>::infinity();
      if (!(fallback & bit)) {
        double log_sum = 0.0;
        bool usable = true;
        for (Index k = 0; k < m && usable; ++k) {
          const double lkk = lane(ts.t->LS, ts, k * m + k, l);
          usable = std::isfinite(lkk) && lkk > 0.0;
          if (usable) log_sum += std::log(lkk);
        }
        if (usable) ll = -0.5 * (d2 + (2.0 * log_sum + static_cast<double>(m) * kLn2Pi));
      }
      b.log_likelihood[u] = ll;
      st[l] = (fallback & bit) ? kFallbackInverse : kUpdated;
    }
  }
  for (int l = 0; l < ts.lanes; ++l) {
    const std::size_t u = sz(first + l);
    b.status[u] = st[l];
    if (st[l] >= kNotApplied) {
      b.log_likelihood[u] = kNaN;
      b.nis[u] = kNaN;
    }
  }
}

/// Calls tile(first, plain) for the whole tiles from `begin` to `tiled`,
/// with ts.t pointing at that tile's work and its lane-wise plain factors
/// there (`plain`: the lanes where they exist), two tiles factored at once
/// where two remain.
template <class Tile>
void for_each_factored_tile(const CkfBank& b, TileScratch& ts, Index begin, Index tiled, Tile&& tile) {
  const Index n = b.dim_x;
  const int w = ts.lanes;
  const unsigned lanes_mask = (1u << w) - 1;
  const double* P[2 * kMaxTileLanes];
  Index i = begin;
  for (; i + 2 * w <= tiled; i += 2 * w) {
    lane_pointers(b.P, i, n * n, true, 2 * w, P);
    const unsigned plain = ts.k.factor_pair(P, ts.work[0], ts.work[1]);
    ts.t = &ts.work[0];
    tile(i, plain & lanes_mask);
    ts.t = &ts.work[1];
    tile(i + w, (plain >> w) & lanes_mask);
  }
  ts.t = &ts.work[0];
  if (i < tiled) {
    lane_pointers(b.P, i, n * n, true, w, P);
    tile(i, ts.k.factor(P, ts.work[0]));
  }
}

/// The tile kernels for a step of this bank (nullptr: filter by filter).
const TileKernels* kernels_for(const CkfBank& b, bool update) {
  return tile_kernels(b.dim_x, update ? b.dim_z : 0);
}

/// Runs body(begin, end) over chunks of the filters with a Chunk and, where
/// the bank's sizes have tiles, a TileScratch (nullptr otherwise).
template <class Body>
void for_each_tiled_chunk(const CkfBank& b, runtime::WorkerPool& pool, bool update, Body&& body) {
  const TileKernels* k = kernels_for(b, update);
  for_each_chunk(b, pool, [&](Index begin, Index end) {
    Chunk c(b);
    if (k == nullptr || end - begin < k->lanes) {
      body(c, nullptr, begin, end);
      return;
    }
    TileScratch ts(b, *k);
    body(c, &ts, begin, end);
  });
}

/// The end of the whole tiles among [begin, end).
Index tiled_end(const TileScratch* ts, Index begin, Index end) {
  return ts == nullptr ? begin : begin + (end - begin) / ts->lanes * ts->lanes;
}


}  // namespace

Result<CkfBank> CkfBank::create(std::uint64_t count, std::uint64_t dim_x, std::uint64_t dim_z, double dt) {
  if (dim_x == 0 || dim_z == 0) return Error::value("dim_x and dim_z must be positive");
  if (!std::isfinite(dt)) return Error::value("dt must be finite");
  // Means and covariances with their priors, the images (n of them at most
  // 2n(n + m) + n^2 per filter, checked before the sizes are multiplied out),
  // the measurements and per-filter scalars.
  if (dim_x > (std::uint64_t{1} << 20) || dim_z > (std::uint64_t{1} << 20)) {
    return Error{ErrorKind::Memory, "not enough memory for storage of the requested dimensions"};
  }
  Status room = check_storage({{count, 2 * dim_x},
                               {count, 2 * dim_x * dim_x},
                               {count, 2 * dim_x * (dim_x + dim_z) + dim_x * dim_x},
                               {count, dim_z + 7}});
  if (!room.ok()) return room.error();
  CkfBank b;
  b.dim_x = static_cast<Index>(dim_x);
  b.dim_z = static_cast<Index>(dim_z);
  b.dt = dt;
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  b.Q.assign(sz(n * n), 0.0);
  b.R.assign(sz(m * m), 0.0);
  for (Index k = 0; k < n; ++k) b.Q[sz(k * n + k)] = 1.0;
  for (Index k = 0; k < m; ++k) b.R[sz(k * m + k)] = 1.0;
  b.grow(static_cast<Index>(count));
  return b;
}

void CkfBank::grow(Index added) {
  const Index n = dim_x;
  const Index m = dim_z;
  const Index total = count + added;
  // Reserve everything first: only this part can fail.
  auto reserve = [&](auto& v, Index per) { v.reserve(sz(total * per)); };
  reserve(x, n);
  reserve(x_prior, n);
  reserve(P, n * n);
  reserve(P_prior, n * n);
  if (q_per_filter) reserve(Q, n * n);
  if (r_per_filter) reserve(R, m * m);
  reserve(status, 1);
  reserve(log_likelihood, 1);
  reserve(nis, 1);
  reserve(jitter_count, 1);
  reserve(pending, 1);
  if (!images.empty()) reserve(images, images_per_filter());
  reserve(z, m);
  reserve(jitter, 1);
  reserve(step_status, 1);

  for (Index i = count; i < total; ++i) {
    for (Index k = 0; k < n * n; ++k) {
      const double v = (k % (n + 1) == 0) ? 1.0 : 0.0;
      P.push_back(v);
      P_prior.push_back(v);
      if (q_per_filter) Q.push_back(v);
    }
    if (r_per_filter) {
      for (Index k = 0; k < m * m; ++k) R.push_back((k % (m + 1) == 0) ? 1.0 : 0.0);
    }
  }
  x.resize(sz(total * n), 0.0);
  x_prior.resize(sz(total * n), 0.0);
  status.resize(sz(total), kNoMeasurement);
  log_likelihood.resize(sz(total), kNaN);
  nis.resize(sz(total), kNaN);
  jitter_count.resize(sz(total), 0);
  pending.resize(sz(total), 0);
  if (!images.empty()) images.resize(sz(total * images_per_filter()));
  z.resize(sz(total * m));
  jitter.resize(sz(total));
  step_status.resize(sz(total));
  count = total;
}

void CkfBank::reserve_images() {
  if (images.empty()) images.resize(sz(count * images_per_filter()));
}

void draw_prediction_points(CkfBank& b, runtime::WorkerPool& pool, double* points) {
  const Index n = b.dim_x;
  for_each_tiled_chunk(b, pool, false, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    if (ts != nullptr) for_each_factored_tile(b, *ts, begin, tiled, [&](Index i, unsigned plain) {
      double* rows[kMaxTileLanes];
      rows_of(points, i, 2 * n * n, ts->lanes, rows);
      const unsigned drawn = draw_tile(b, c, *ts, i, rows, plain);
      for (int l = 0; l < ts->lanes; ++l) {
        b.step_status[sz(i + l)] = (drawn & (1u << l)) ? kTakingPart : kNotApplied;
      }
    });
    for (Index i = tiled; i < end; ++i) {
      b.step_status[sz(i)] = draw_rows(b, i, c, points + i * 2 * n * n) ? kTakingPart : kNotApplied;
    }
  });
}

void finish_prediction(CkfBank& b, runtime::WorkerPool& pool) {
  const Index n = b.dim_x;
  for_each_tiled_chunk(b, pool, false, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    for (Index i = begin; i < tiled; i += ts->lanes) {
      double* rows[kMaxTileLanes];
      rows_of(b.images.data(), i, 2 * n * n, ts->lanes, rows);
      finish_prediction_tile(b, c, *ts, i, rows);
    }
    for (Index i = tiled; i < end; ++i) finish_prediction_one(b, c, i, b.images.data() + i * 2 * n * n);
  });
}

void draw_update_points(CkfBank& b, runtime::WorkerPool& pool, double* points) {
  const Index n = b.dim_x;
  for_each_tiled_chunk(b, pool, true, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    if (ts != nullptr) for_each_factored_tile(b, *ts, begin, tiled, [&](Index i, unsigned plain) {
      double* rows[kMaxTileLanes];
      rows_of(points, i, 2 * n * n, ts->lanes, rows);
      draw_update_tile(b, c, *ts, i, rows, plain);
      // Each drawn factor kept as the one-filter path keeps it.
      for (int l = 0; l < ts->lanes; ++l) {
        double* factor = update_factors(b) + (i + l) * n * n;
        for (Index e = 0; e < n * n; ++e) factor[e] = lane(ts->t->L, *ts, e, l);
      }
    });
    for (Index i = tiled; i < end; ++i) {
      draw_update_one(b, c, i, points + i * 2 * n * n, update_factors(b) + i * n * n);
    }
  });
}

void finish_update(CkfBank& b, runtime::WorkerPool& pool) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  for_each_tiled_chunk(b, pool, true, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    for (Index i = begin; i < tiled; i += ts->lanes) {
      for (int l = 0; l < ts->lanes; ++l) {
        const double* factor = update_factors(b) + (i + l) * n * n;
        for (Index e = 0; e < n * n; ++e) lane(ts->t->L, *ts, e, l) = factor[e];
      }
      double* rows[kMaxTileLanes];
      rows_of(b.images.data(), i, 2 * n * m, ts->lanes, rows);
      finish_update_tile(b, c, *ts, i, rows);
    }
    for (Index i = tiled; i < end; ++i) {
      finish_update_one(b, c, i, b.images.data() + i * 2 * n * m, update_factors(b) + i * n * n);
    }
  });
}

void predict_with(CkfBank& b, runtime::WorkerPool& pool, const ModelFunctionCall& fx, double dt) {
  const Index n = b.dim_x;
  for_each_tiled_chunk(b, pool, false, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    // The built-in coordinated turn (which cannot fail once it is called
    // without extra arguments) runs in the lanes too.
    const bool turn = ts != nullptr && ts->k.turn != nullptr && fx.function == &coordinated_turn_model &&
                      fx.n_params == 0;
    if (ts != nullptr) for_each_factored_tile(b, *ts, begin, tiled, [&](Index i, unsigned plain) {
      const unsigned drawn = draw_tile(b, c, *ts, i, turn ? nullptr : ts->point_rows, plain);
      if (turn) {
        const double* x[kMaxTileLanes];
        lane_pointers(b.x, i, n, true, ts->lanes, x);
        ts->k.turn(x, *ts->t, dt, ts->image_rows);
      }
      for (int l = 0; l < ts->lanes; ++l) {
        std::int64_t& st = b.step_status[sz(i + l)];
        st = (drawn & (1u << l)) ? kTakingPart : kNotApplied;
        // A model that fails on this filter's points fails this filter
        // alone, as non-finite images would.
        if (st == kTakingPart && !turn && fx(ts->point_rows[l], ts->image_rows[l], 2 * n, n, n, dt) != 0) {
          st = kBadData;
        }
      }
      finish_prediction_tile(b, c, *ts, i, ts->image_rows);
    });
    if (tiled == end) return;
    std::vector<double> points(sz(2 * n * n));
    std::vector<double> images(sz(2 * n * n));
    for (Index i = tiled; i < end; ++i) {
      std::int64_t& st = b.step_status[sz(i)];
      st = draw_rows(b, i, c, points.data()) ? kTakingPart : kNotApplied;
      if (st == kTakingPart && fx(points.data(), images.data(), 2 * n, n, n, dt) != 0) st = kBadData;
      finish_prediction_one(b, c, i, images.data());
    }
  });
}

void update_with(CkfBank& b, runtime::WorkerPool& pool, const ModelFunctionCall& hx) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  for_each_tiled_chunk(b, pool, true, [&](Chunk& c, TileScratch* ts, Index begin, Index end) {
    const Index tiled = tiled_end(ts, begin, end);
    // The built-in range and bearing, with constants it accepts (it then
    // cannot fail), runs in the lanes too.
    double sensor[2] = {};
    std::intptr_t at[2] = {};
    const bool bearing = ts != nullptr && ts->k.bearing != nullptr && hx.function == &range_bearing_model &&
                         range_bearing_setup(2 * n, n, m, hx.n_params, hx.user_data, sensor, at) == kModelOk;
    if (ts != nullptr) for_each_factored_tile(b, *ts, begin, tiled, [&](Index i, unsigned plain) {
      draw_update_tile(b, c, *ts, i, bearing ? nullptr : ts->point_rows, plain);
      if (bearing) {
        const double* x[kMaxTileLanes];
        lane_pointers(b.x, i, n, true, ts->lanes, x);
        ts->k.bearing(x, *ts->t, sensor, at, ts->image_rows);
      }
      for (int l = 0; l < ts->lanes; ++l) {
        std::int64_t& st = b.step_status[sz(i + l)];
        if (st == kTakingPart && !bearing && hx(ts->point_rows[l], ts->image_rows[l], 2 * n, n, m, 0.0) != 0) {
          st = kBadData;
        }
      }
      finish_update_tile(b, c, *ts, i, ts->image_rows);
    });
    if (tiled == end) return;
    std::vector<double> points(sz(2 * n * n));
    std::vector<double> images(sz(2 * n * m));
    std::vector<double> factor(sz(n * n));
    for (Index i = tiled; i < end; ++i) {
      draw_update_one(b, c, i, points.data(), factor.data());
      std::int64_t& st = b.step_status[sz(i)];
      if (st == kTakingPart && hx(points.data(), images.data(), 2 * n, n, m, 0.0) != 0) st = kBadData;
      finish_update_one(b, c, i, images.data(), factor.data());
    }
  });
}

void keep_filters(CkfBank& b, const std::vector<Index>& indices) {
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  const Index k = static_cast<Index>(indices.size());
  // Gather into new arrays first, then swap them in: a MemoryError on the
  // way leaves the bank untouched.
  auto gather = [&](const auto& v, Index per) {
    std::decay_t<decltype(v)> out(sz(k * per));
    for (Index j = 0; j < k; ++j) {
      std::copy_n(v.begin() + static_cast<std::ptrdiff_t>(indices[sz(j)] * per), per,
                  out.begin() + static_cast<std::ptrdiff_t>(j * per));
    }
    return out;
  };
  auto x = gather(b.x, n);
  auto x_prior = gather(b.x_prior, n);
  auto P = gather(b.P, n * n);
  auto P_prior = gather(b.P_prior, n * n);
  auto Q = b.q_per_filter ? gather(b.Q, n * n) : b.Q;
  auto R = b.r_per_filter ? gather(b.R, m * m) : b.R;
  auto status = gather(b.status, 1);
  auto log_likelihood = gather(b.log_likelihood, 1);
  auto nis = gather(b.nis, 1);
  auto jitter_count = gather(b.jitter_count, 1);
  auto pending = gather(b.pending, 1);
  std::vector<double> images(b.images.empty() ? 0 : sz(k * b.images_per_filter()));
  std::vector<double> z(sz(k * m));
  std::vector<double> jitter(sz(k));
  std::vector<std::int64_t> step_status(sz(k));

  b.x.swap(x);
  b.x_prior.swap(x_prior);
  b.P.swap(P);
  b.P_prior.swap(P_prior);
  b.Q.swap(Q);
  b.R.swap(R);
  b.status.swap(status);
  b.log_likelihood.swap(log_likelihood);
  b.nis.swap(nis);
  b.jitter_count.swap(jitter_count);
  b.pending.swap(pending);
  b.images.swap(images);
  b.z.swap(z);
  b.jitter.swap(jitter);
  b.step_status.swap(step_status);
  b.count = k;
}

}  // namespace vexel::bank
