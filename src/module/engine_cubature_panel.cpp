// cubature_panel(): the cubature filter, or the filter and the cubature
// smoother, of M sequences of one nonlinear model in one call.
//
// Every sequence runs the single filter's own steps (FilterForm's
// predict_with and update_with on a State of its own, and the smoother's
// backward pass), so its numbers are the bits VexelCKF.run and smooth give
// it, whatever the number of workers.  A sequence whose filter fails (a
// factorisation no jitter rescues, a model's failure code, non-finite
// images) stops there with its status; the others go on.
//
// Compiled models run sequence by sequence on the worker pool with the
// interpreter lock released, taken back between slices of sequences for
// Ctrl-C.  A Python model is called once per step for the whole panel (once
// per distinct time step): every sequence's points are drawn into one array
// on the pool, the model is called with the lock held, and every sequence
// then finishes its step on the pool with those images.
#include "engine_cubature_panel.hpp"

#include "engine_panel.hpp"
#include "engine_run.hpp"
#include "engine_smoother.hpp"
#include "filter_forms.hpp"
#include "record.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../batch/sequence_routines.hpp"
#include "../ckf/ckf_ops.hpp"
#include "../kernels/filter_status.hpp"
#include "../kernels/storage.hpp"
#include "../runtime/worker_pool.hpp"
#include "../smoother/cubature_smoother.hpp"
#include "../srckf/srckf_ops.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexel::py {

namespace {

using batch::StridedArray;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The arrays: the Python layer broadcasts every per-sequence or per-step
// argument to its full shape (read-only views with zero strides, nothing
// copied) and checks their values; the measurements bind the sizes.
namespace cubature_panel_arrays {
enum { kSequences, kSteps, kDimZ, kDimX };
enum { kX0, kP0, kZs, kQs, kRs, kDts };
constexpr ArrayDim kDims[] = {
    {"M", "zs must contain at least one sequence", kZs},
    {"N", "zs must contain at least one observation", kZs},
    {"dim_z", "zs third dimension must be positive", kZs},
    {"dim_x", "x0 second dimension must be positive", kX0},
};
constexpr ArrayDecl kArrays[] = {
    {"x0", 2, {{kSequences}, {kDimX}}},
    {"p0", 3, {{kSequences}, {kDimX}, {kDimX}}, "P0"},
    {"zs", 3, {{kSequences}, {kSteps}, {kDimZ}}},
    {"qs", 4, {{kSequences}, {kSteps}, {kDimX}, {kDimX}}, "Q"},
    {"rs", 4, {{kSequences}, {kSteps}, {kDimZ}, {kDimZ}}, "R"},
    {"dts", 2, {{kSequences}, {kSteps}}},
};
}  // namespace cubature_panel_arrays

struct PanelIn {
  StridedArray x0, p0, zs, qs, rs, dts;
  AngleEntries angles;
  std::vector<Index> smoother_angles;  // the angle states, sorted
  bool gaps = false;
  bool square_root = false;
  Index count = 0, steps = 0, n = 0, m = 0;

  double dt(Index i, Index k) const { return dts.at(i, k); }
  bool missed(Index i, Index k) const { return gaps && std::isnan(zs.at(i, k, 0)); }
};

/// Where the results go.  Filter: every row array; smoother: the smoothed
/// means, and the covariances when wanted (else per-chunk scratch).
struct PanelOut {
  bool smooth = false;
  double* xs = nullptr;        // (M, N, n)
  double* ps = nullptr;        // (M, N, n, n), nullptr: smoothed covariances not wanted
  double* xs_prior = nullptr;  // filter only
  double* ps_prior = nullptr;
  double* lls = nullptr;  // (M, N)
  double* nis = nullptr;
  double* totals = nullptr;         // (M,)
  std::int64_t* status = nullptr;   // (M,)
};

/// A model whose failures are told apart from the arithmetic's: a failure
/// of the model itself (an exception of its evaluation, such as a compiled
/// model's failure code) or non-finite images mark `fault`, which makes a
/// sequence's status "bad data" rather than "not applied".
class WatchedModel final : public PointModel {
 public:
  explicit WatchedModel(PointModel& inner) : inner_(inner) {}
  double* points(Index rows, Index dim_in) override {
    rows_ = rows;
    return inner_.points(rows, dim_in);
  }
  void evaluate(double dt, Index dim_out, double* images) override {
    watch([&] { inner_.evaluate(dt, dim_out, images); });
    if (!vexel::all_finite(images, rows_ * dim_out)) fault = true;
  }
  void evaluate(double dt, Index dim_out, DMatrix& images) override {
    watch([&] { inner_.evaluate(dt, dim_out, images); });
    if (!vexel::all_finite(images.data(), images.size())) fault = true;
  }
  bool fault = false;

 private:
  template <class F>
  void watch(F&& call) {
    try {
      call();
    } catch (Error&) {
      fault = true;
      throw;
    }
  }
  PointModel& inner_;
  Index rows_ = 0;
};

// ---------------------------------------------------------------------------
// One sequence's filter, on a State of its own

/// The noise of step k (Q or R) given to the state when it differs from the
/// slice it holds: the covariance form copies it, the square-root form
/// factors it as assigning the field does.
template <class State>
struct NoiseSetter;

template <>
struct NoiseSetter<CkfState> {
  static void set_p(CkfState& s, const DMatrix& P) { s.P = P; }
  static void set_q(CkfState& s, const DMatrix& Q) { s.Q = Q; }
  static void set_r(CkfState& s, const DMatrix& R) { s.R = R; }
};

template <>
struct NoiseSetter<SrckfState> {
  static void set_p(SrckfState& s, const DMatrix& P) { unwrap(assign_covariance(s, s.chol_P, P)); }
  static void set_q(SrckfState& s, const DMatrix& Q) { unwrap(assign_covariance(s, s.chol_Q, Q)); }
  static void set_r(SrckfState& s, const DMatrix& R) { unwrap(assign_covariance(s, s.chol_R, R)); }
};

/// Is this Error one sequence's failure (its arithmetic or its model's
/// output), or one that ends the call (a Python exception, memory, a fault
/// of the engine)?
bool sequence_failure(const Error& e) { return e.kind == ErrorKind::Value || e.kind == ErrorKind::Runtime; }

/// A sequence's filter state and what its steps keep between them.
template <class State>
class SequenceFilter {
 public:
  using Form = FilterForm<State>;
  using Set = NoiseSetter<State>;

  SequenceFilter(const PanelIn& in, Index i) : in_(in), i_(i), s_(unwrap(State::create(in.n, in.m, 1.0))) {
    z_.resize(in.m);
    Q_.resize(in.n, in.n);
    R_.resize(in.m, in.m);
    DMatrix P(in.n, in.n);
    batch::load_row(in.x0, i, s_.x);
    batch::load_slice(in.p0, i, P);
    try {
      Set::set_p(s_, P);
    } catch (Error& e) {
      if (!sequence_failure(e)) throw;
      start_failed_ = true;  // a P0 the square-root form cannot factor: the first step fails
    }
  }

  /// Q and R of step k, then its prediction (false: the sequence failed,
  /// `status` says why).
  bool predict(Index k, PointModel& fx, std::int64_t& status) {
    if (start_failed_) {
      status = kNotApplied;
      return false;
    }
    return guarded(fx, status, [&](WatchedModel& model) {
      noise(k);
      Form::predict_with(s_, model, in_.dt(i_, k), in_.angles, &work_);
    });
  }

  /// The update of step k with its measurement (a missed one clears the
  /// diagnostics, as a skipped update does).
  bool update(Index k, PointModel& hx, std::int64_t& status) {
    if (in_.missed(i_, k)) {
      clear_diagnostics(s_);
      return true;
    }
    return guarded(hx, status, [&](WatchedModel& model) {
      for (Index j = 0; j < in_.m; ++j) z_[j] = in_.zs.at(i_, k, j);
      Form::update_with(s_, model, z_, nullptr, in_.angles, &work_);
    });
  }

  void store(Index k, const RunRows& rows, double& total) const {
    Form::store_step(s_, k, rows);
    if (!in_.missed(i_, k)) total += s_.log_likelihood;
  }

 private:
  void noise(Index k) {
    const char* q = in_.qs.data + i_ * in_.qs.strides[0] + k * in_.qs.strides[1];
    if (q != q_held_) {
      batch::load_slice(batch::sub_view(in_.qs, i_), k, Q_);
      q_held_ = nullptr;
      Set::set_q(s_, Q_);
      q_held_ = q;
    }
    const char* r = in_.rs.data + i_ * in_.rs.strides[0] + k * in_.rs.strides[1];
    if (r != r_held_) {
      batch::load_slice(batch::sub_view(in_.rs, i_), k, R_);
      r_held_ = nullptr;
      Set::set_r(s_, R_);
      r_held_ = r;
    }
  }

  template <class F>
  bool guarded(PointModel& inner, std::int64_t& status, F&& step) {
    WatchedModel model(inner);
    try {
      step(model);
    } catch (Error& e) {
      if (!sequence_failure(e)) throw;
      status = model.fault ? kBadData : kNotApplied;
      return false;
    }
    return true;
  }

  const PanelIn& in_;
  Index i_;
  State s_;
  StepWork<State> work_;
  DVector z_;
  DMatrix Q_, R_;
  const char* q_held_ = nullptr;
  const char* r_held_ = nullptr;
  bool start_failed_ = false;
};

/// The row arrays of sequence i (the filtered trace of a smoother goes to
/// the smoothed means' rows and to `ps_scratch` when the smoothed
/// covariances are not wanted).
RunRows sequence_rows(const PanelIn& in, const PanelOut& out, Index i, double* ps_scratch) {
  const Index n = in.n;
  const Index N = in.steps;
  auto at = [&](double* base, Index per_row) { return base == nullptr ? nullptr : base + i * N * per_row; };
  if (out.smooth) {
    return RunRows{at(out.xs, n), out.ps != nullptr ? at(out.ps, n * n) : ps_scratch, nullptr, nullptr, nullptr,
                   nullptr, n};
  }
  return RunRows{at(out.xs, n), at(out.ps, n * n), at(out.xs_prior, n), at(out.ps_prior, n * n),
                 at(out.lls, 1), at(out.nis, 1), n};
}

/// Rows [from, to) of a sequence's outputs set to NaN.
void fill_nan(const RunRows& rows, Index from, Index to) {
  if (from >= to) return;
  const Index n = rows.n;
  auto fill = [&](double* base, Index per_row) {
    if (base != nullptr) std::fill(base + from * per_row, base + to * per_row, kNaN);
  };
  fill(rows.xs, n);
  fill(rows.Ps, n * n);
  fill(rows.xs_prior, n);
  fill(rows.Ps_prior, n * n);
  fill(rows.log_likelihoods, 1);
  fill(rows.nis, 1);
}

/// The end of sequence i's filter, stopped at step `stop` (N: it ran
/// through): the rows from there on NaN, its total and status.
void close_filter(const PanelIn& in, const PanelOut& out, Index i, const RunRows& rows, Index stop, double total,
                  std::int64_t status) {
  fill_nan(rows, stop, in.steps);
  out.totals[i] = stop < in.steps ? kNaN : total;
  out.status[i] = stop < in.steps ? status : kUpdated;
}

/// The backward pass's view of sequence i's filtered trace: its first
/// `done` steps (all of them, or those before its filter stopped), smoothed
/// in place.
smoother::CubatureSmootherInputs smoother_inputs(const PanelIn& in, Index i, const RunRows& rows, Index done) {
  smoother::CubatureSmootherInputs sin;
  sin.xs = batch::c_view(rows.xs, {done, in.n});
  sin.ps = batch::c_view(rows.Ps, {done, in.n, in.n});
  sin.qs = batch::sub_view(in.qs, i);
  sin.qs.dims[0] = done;
  sin.dts = batch::sub_view(in.dts, i);
  sin.dts.dims[0] = done;
  sin.angle_states = in.smoother_angles;
  sin.square_root = in.square_root;
  return sin;
}

/// A sequence whose smoother failed: NaN throughout, with its status.
void fail_smoothing(const PanelOut& out, Index i, const RunRows& rows, Index done, bool model_fault) {
  fill_nan(rows, 0, done);
  out.totals[i] = kNaN;
  out.status[i] = model_fault ? kBadData : kNotApplied;
}

/// The smoother of sequence i's first `done` steps with a compiled fx.
void smooth_sequence(const PanelIn& in, const PanelOut& out, Index i, const RunRows& rows, Index done,
                     CompiledTransition& transition) {
  if (done == 0) return;
  const smoother::CubatureSmootherInputs sin = smoother_inputs(in, i, rows, done);
  const smoother::CubatureSmootherOutputs sout{rows.xs, rows.Ps, nullptr, nullptr};
  if (!smoother::run_cubature_smoother(sin, transition, sout)) {
    fail_smoothing(out, i, rows, done, transition.model_fault());
  }
}

// ---------------------------------------------------------------------------
// Compiled models: sequence by sequence

struct CompiledModels {
  const CompiledModelState* fx;
  const CompiledModelState* hx;
  const ModelParams* fx_params;
  const ModelParams* hx_params;
};

/// A worker's chunk of sequences [begin, end).
template <class State>
void run_compiled_chunk(const PanelIn& in, const PanelOut& out, const CompiledModels& models, Index begin,
                        Index end) {
  CompiledCall fx(*models.fx, *models.fx_params);
  CompiledCall hx(*models.hx, *models.hx_params);
  const ModelFunctionCall fx_bound = bind_call(*models.fx, *models.fx_params);
  std::vector<double> ps_scratch;
  if (out.smooth && out.ps == nullptr) ps_scratch.resize(static_cast<std::size_t>(in.steps * in.n * in.n));
  for (Index i = begin; i < end; ++i) {
    const RunRows rows = sequence_rows(in, out, i, ps_scratch.data());
    SequenceFilter<State> f(in, i);
    double total = 0.0;
    std::int64_t status = kUpdated;
    Index k = 0;
    for (; k < in.steps; ++k) {
      if (!f.predict(k, fx, status) || !f.update(k, hx, status)) break;
      f.store(k, rows, total);
    }
    close_filter(in, out, i, rows, k, total, status);
    if (out.smooth) {
      CompiledTransition transition(*models.fx, fx_bound, in.n);
      smooth_sequence(in, out, i, rows, k, transition);
    }
  }
}

/// How long the workers run between two looks at Ctrl-C.
constexpr double kSliceSeconds = 0.05;

template <class State>
void run_compiled(const PanelIn& in, const PanelOut& out, const CompiledModels& models) {
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  const auto workers = static_cast<Index>(pool.size());
  Index done = 0;
  Index slice = workers;
  while (done < in.count) {
    const Index count = std::min(slice, in.count - done);
    const std::size_t grain = static_cast<std::size_t>((count + workers - 1) / workers);
    const auto start = std::chrono::steady_clock::now();
    without_lock([&] {
      pool.parallel_for(static_cast<std::size_t>(count), grain, [&](std::size_t b, std::size_t e) {
        run_compiled_chunk<State>(in, out, models, done + static_cast<Index>(b), done + static_cast<Index>(e));
      });
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done += count;
    if (PyErr_CheckSignals() < 0) fail_python();
    // The next slice takes about kSliceSeconds, growing at most 8-fold.
    const double scale = seconds > 0.0 ? kSliceSeconds / seconds : 8.0;
    slice = std::max(workers, static_cast<Index>(static_cast<double>(count) * std::min(8.0, scale)));
  }
}

// ---------------------------------------------------------------------------
// Python models: step by step for the whole panel

/// A time step as the key of its group of sequences: steps that share one
/// call must be equal bit for bit.
std::uint64_t bits_of(double v) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

double from_bits(std::uint64_t bits) {
  double v = 0.0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

/// Thrown by a recording model once it holds a step's points: the step
/// itself stops there, before anything in the state changed.
struct PointsRecorded {};

/// The first pass of a step: the points the filter draws land in the
/// panel's array (at `target`), and the step stops.
class RecordingModel final : public PointModel {
 public:
  explicit RecordingModel(double* target) : target_(target) {}
  double* points(Index /*rows*/, Index /*dim_in*/) override { return target_; }
  void evaluate(double /*dt*/, Index /*dim_out*/, double* /*images*/) override { throw PointsRecorded{}; }
  void evaluate(double /*dt*/, Index /*dim_out*/, DMatrix& /*images*/) override { throw PointsRecorded{}; }

 private:
  double* target_;
};

/// The second pass: the same step, now with the images the model gave for
/// those points (the step draws the same points again, bit for bit).
class ReplayModel final : public PointModel {
 public:
  explicit ReplayModel(const double* images) : images_(images) {}
  double* points(Index rows, Index dim_in) override {
    rows_ = rows;
    buffer_.resize(static_cast<std::size_t>(rows * dim_in));
    return buffer_.data();
  }
  void evaluate(double /*dt*/, Index dim_out, double* images) override {
    std::memcpy(images, images_, sizeof(double) * static_cast<std::size_t>(rows_ * dim_out));
  }
  void evaluate(double /*dt*/, Index dim_out, DMatrix& images) override {
    images = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        images_, rows_, dim_out);
  }

 private:
  const double* images_;
  std::vector<double> buffer_;
  Index rows_ = 0;
};

template <class State>
struct PythonSequence {
  SequenceFilter<State> filter;
  double total = 0.0;
  std::int64_t status = kUpdated;
  Index stop = -1;  // the step it failed at; -1 while it runs
  Index row = 0;    // its rows in the step's point array
};

/// The model on a step's block; a Python exception from it gets a note
/// naming the callback and the step.
void evaluate_noted(PointModel& call, double dt, Index dim_out, double* images, const char* callback, Index k,
                    const char* pass) {
  try {
    call.evaluate(dt, dim_out, images);
  } catch (Error& e) {
    if (e.kind == ErrorKind::PythonSet) {
      add_note_to_pending(std::string("raised by ") + callback + " in a nonlinear panel at " + pass + "step " +
                          std::to_string(k));
    }
    throw;
  }
}

/// One half of step k for every running sequence: points on the pool, the
/// model once per distinct time step, the step finished on the pool.
template <class State, class Step>
void python_half(std::vector<PythonSequence<State>>& seqs, PyObject* model, PyObject* model_args, bool prediction,
                 const PanelIn& in, Index k, Ref& cache, std::vector<double>& images, std::vector<double>& staged,
                 Step step) {
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  const Index n = in.n;
  const Index rows = 2 * n;
  const Index dim_out = prediction ? n : in.m;
  // The running sequences that take part, grouped by their time step (bit
  // for bit): one call per group.
  std::map<std::uint64_t, std::vector<Index>> groups;
  for (Index i = 0; i < static_cast<Index>(seqs.size()); ++i) {
    if (seqs[i].stop >= 0) continue;
    if (!prediction && in.missed(i, k)) {
      // A missed scan: the update clears the diagnostics without a model.
      RecordingModel unused(nullptr);
      std::int64_t status = kUpdated;
      step(seqs[i].filter, unused, status);
      continue;
    }
    groups[prediction ? bits_of(in.dt(i, k)) : 0].push_back(i);
  }
  auto each = [&](const std::vector<Index>& members, auto&& body) {
    without_lock([&] {
      pool.parallel_for(members.size(), 64, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) body(static_cast<Index>(j), seqs[members[j]]);
      });
    });
  };
  auto stop_unless = [&](PythonSequence<State>& sq, bool ok, std::int64_t status) {
    if (!ok) {
      sq.status = status;
      sq.stop = k;
    }
  };
  if (const CompiledModelState* compiled = compiled_model(model)) {
    // A compiled model beside a Python one runs sequence by sequence, as
    // with two compiled models: its failure code stops that sequence alone.
    const ModelParams params(model_args, !prediction);
    std::vector<Index> all;
    for (auto& group : groups) all.insert(all.end(), group.second.begin(), group.second.end());
    without_lock([&] {
      pool.parallel_for(all.size(), 64, [&](std::size_t b, std::size_t e) {
        CompiledCall call(*compiled, params);
        for (std::size_t j = b; j < e; ++j) {
          PythonSequence<State>& sq = seqs[all[j]];
          std::int64_t status = kUpdated;
          const bool ok = step(sq.filter, call, status);
          stop_unless(sq, ok, status);
        }
      });
    });
    return;
  }
  for (auto& [key, members] : groups) {
    const auto count = static_cast<Index>(members.size());
    const double dt = from_bits(key);
    // Draw: each step up to its model call, on a recording model.  A step
    // that fails before it (a factorisation) stops its sequence there, and
    // its points never reach the model.
    staged.resize(static_cast<std::size_t>(count * rows * n));
    each(members, [&](Index j, PythonSequence<State>& sq) {
      RecordingModel rec(staged.data() + j * rows * n);
      std::int64_t status = kUpdated;
      try {
        const bool ok = step(sq.filter, rec, status);
        stop_unless(sq, ok, status);
      } catch (PointsRecorded&) {
        return;
      }
      if (sq.stop < 0) internal_failure("a step reaches its model", __FILE__, __LINE__);
    });
    std::vector<Index> drawn;
    for (Index j = 0; j < count; ++j) {
      if (seqs[members[j]].stop < 0) drawn.push_back(j);
    }
    if (drawn.empty()) continue;
    const auto called = static_cast<Index>(drawn.size());
    PythonModel call(model, model_args, prediction, &cache);
    double* points = call.points(called * rows, n);
    for (Index s = 0; s < called; ++s) {
      std::memcpy(points + s * rows * n, staged.data() + drawn[s] * rows * n,
                  sizeof(double) * static_cast<std::size_t>(rows * n));
    }
    images.resize(static_cast<std::size_t>(called * rows * dim_out));
    evaluate_noted(call, dt, dim_out, images.data(), prediction ? "fx" : "hx", k, "");
    std::vector<Index> running;
    for (Index j : drawn) running.push_back(members[j]);
    each(running, [&](Index s, PythonSequence<State>& sq) {
      ReplayModel replay(images.data() + s * rows * dim_out);
      std::int64_t status = kUpdated;
      const bool ok = step(sq.filter, replay, status);
      stop_unless(sq, ok, status);
    });
  }
}

/// One sequence's backward pass, driven a step at a time.
struct PythonPass {
  smoother::CubatureSmootherInputs in;
  std::optional<smoother::BackwardPass> pass;
  bool failed = false;
  bool model_fault = false;
};

/// The smoothers of every sequence with a Python fx: the passes go down the
/// steps together, each step's points of all of them through one call (one
/// per distinct time step).
template <class RowsOf>
void smooth_python(const PanelIn& in, const PanelOut& out, PyObject* fx, PyObject* fx_args,
                   const std::vector<Index>& done, const RowsOf& rows_of) {
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  const Index n = in.n;
  const Index rows = 2 * n;
  // Sized once: each pass keeps a reference to its inputs.
  std::vector<PythonPass> passes(static_cast<std::size_t>(in.count));
  auto each = [&](const std::vector<Index>& which, auto&& body) {
    without_lock([&] {
      pool.parallel_for(which.size(), 64, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) body(static_cast<Index>(j), passes[which[j]]);
      });
    });
  };
  std::vector<Index> all;
  for (Index i = 0; i < in.count; ++i) {
    if (done[i] == 0) continue;
    const RunRows r = rows_of(i);
    passes[i].in = smoother_inputs(in, i, r, done[i]);
    passes[i].pass.emplace(passes[i].in, smoother::CubatureSmootherOutputs{r.xs, r.Ps, nullptr, nullptr});
    all.push_back(i);
  }
  each(all, [&](Index, PythonPass& p) { p.failed = !p.pass->begin(); });
  Ref cache;
  std::vector<double> images;
  for (Index k = in.steps - 2; k >= 0; --k) {
    std::vector<Index> here;
    for (Index i : all) {
      if (!passes[i].failed && passes[i].pass->next_step() == k) here.push_back(i);
    }
    each(here, [&](Index, PythonPass& p) { p.failed = !p.pass->draw(); });
    std::map<std::uint64_t, std::vector<Index>> groups;
    for (Index i : here) {
      if (passes[i].failed) continue;
      groups[bits_of(passes[i].pass->dt())].push_back(i);
    }
    for (auto& [key, members] : groups) {
      const auto count = static_cast<Index>(members.size());
      const double dt = from_bits(key);
      ModelCall chosen(fx, fx_args, /*pass_dt=*/true, &cache);
      PointModel& call = chosen.get();
      double* points = call.points(count * rows, n);
      each(members, [&](Index j, PythonPass& p) {
        Eigen::Map<RowMajor>(points + j * rows * n, rows, n) = p.pass->points();
      });
      images.resize(static_cast<std::size_t>(count * rows * n));
      evaluate_noted(call, dt, n, images.data(), "fx", k, "smoother ");
      each(members, [&](Index j, PythonPass& p) {
        const double* y = images.data() + j * rows * n;
        if (!vexel::all_finite(y, rows * n)) {
          p.failed = true;
          p.model_fault = true;
          return;
        }
        const DMatrix Y = Eigen::Map<const RowMajor>(y, rows, n);
        p.failed = !p.pass->finish(Y);
      });
    }
    if (PyErr_CheckSignals() < 0) fail_python();
  }
  for (Index i : all) {
    if (passes[i].failed) fail_smoothing(out, i, rows_of(i), done[i], passes[i].model_fault);
  }
}

template <class State>
void run_python(const PanelIn& in, const PanelOut& out, PyObject* fx, PyObject* fx_args, PyObject* hx,
                PyObject* hx_args) {
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  std::vector<PythonSequence<State>> seqs;
  seqs.reserve(static_cast<std::size_t>(in.count));
  for (Index i = 0; i < in.count; ++i) seqs.push_back(PythonSequence<State>{SequenceFilter<State>(in, i)});
  std::vector<double> ps_scratch;
  if (out.smooth && out.ps == nullptr) ps_scratch.resize(static_cast<std::size_t>(in.count * in.steps * in.n * in.n));
  auto rows_of = [&](Index i) { return sequence_rows(in, out, i, ps_scratch.data() + i * in.steps * in.n * in.n); };
  Ref fx_cache, hx_cache;
  std::vector<double> images, staged;
  for (Index k = 0; k < in.steps; ++k) {
    python_half<State>(seqs, fx, fx_args, true, in, k, fx_cache, images, staged,
                       [&](SequenceFilter<State>& f, PointModel& model, std::int64_t& status) {
                         return f.predict(k, model, status);
                       });
    python_half<State>(seqs, hx, hx_args, false, in, k, hx_cache, images, staged,
                       [&](SequenceFilter<State>& f, PointModel& model, std::int64_t& status) {
                         return f.update(k, model, status);
                       });
    without_lock([&] {
      pool.parallel_for(static_cast<std::size_t>(in.count), 256, [&](std::size_t b, std::size_t e) {
        for (auto i = static_cast<Index>(b); i < static_cast<Index>(e); ++i) {
          PythonSequence<State>& sq = seqs[i];
          if (sq.stop < 0) sq.filter.store(k, rows_of(i), sq.total);
        }
      });
    });
    if (PyErr_CheckSignals() < 0) fail_python();
  }
  std::vector<Index> done(static_cast<std::size_t>(in.count));
  for (Index i = 0; i < in.count; ++i) {
    const PythonSequence<State>& sq = seqs[i];
    done[i] = sq.stop < 0 ? in.steps : sq.stop;
    close_filter(in, out, i, rows_of(i), done[i], sq.total, sq.status);
  }
  seqs.clear();
  if (!out.smooth) return;
  if (const CompiledModelState* compiled = compiled_model(fx)) {
    // A compiled fx smooths sequence by sequence, natively.
    const ModelParams params(fx_args, false);
    const ModelFunctionCall bound = bind_call(*compiled, params);
    without_lock([&] {
      pool.parallel_for(static_cast<std::size_t>(in.count), 16, [&](std::size_t b, std::size_t e) {
        for (auto i = static_cast<Index>(b); i < static_cast<Index>(e); ++i) {
          CompiledTransition transition(*compiled, bound, in.n);
          smooth_sequence(in, out, i, rows_of(i), done[i], transition);
        }
      });
    });
  } else {
    smooth_python(in, out, fx, fx_args, done, rows_of);
  }
}

// ---------------------------------------------------------------------------
// The binding

constexpr Params kCubaturePanel{"cubature_panel()",
                                13,
                                13,
                                {"x0", "p0", "zs", "qs", "rs", "dts", "models", "angles", "nan_means_missing",
                                 "square_root", "smooth", "covariances", "first_sequence"}};

template <class State>
void run_panel(const PanelIn& in, const PanelOut& out, ModelCall& fx, ModelCall& hx, PyObject* const* objects) {
  if (fx.compiled() != nullptr && hx.compiled() != nullptr) {
    const ModelParams fx_params(objects[1], false);
    const ModelParams hx_params(objects[3], true);
    run_compiled<State>(in, out, CompiledModels{fx.compiled(), hx.compiled(), &fx_params, &hx_params});
  } else {
    run_python<State>(in, out, objects[0], objects[1], objects[2], objects[3]);
  }
}

Ref cubature_panel_body(PyObject* const* args) {
  using namespace cubature_panel_arrays;
  PyObject* items[6] = {args[0], args[1], args[2], args[3], args[4], args[5]};
  ArrayArgs arrays(kArrays, kDims, items);
  const RunModels models = arg_run_models(args[6]);
  PyObject* objects[4] = {models.fx, models.fx_args, models.hx, models.hx_args};
  PanelIn in;
  in.gaps = arg_flag(args[8], "nan_means_missing");
  in.square_root = arg_flag(args[9], "square_root");
  PanelOut out;
  out.smooth = arg_flag(args[10], "smooth");
  const bool covariances = arg_flag(args[11], "covariances");
  const Labels labels{arg_first_sequence(args[12])};
  arrays.check_shapes();
  in.count = arrays.dim(kSequences);
  in.steps = arrays.dim(kSteps);
  in.m = arrays.dim(kDimZ);
  in.n = arrays.dim(kDimX);
  ModelCall fx(objects[0], objects[1], /*pass_dt=*/true);
  ModelCall hx(objects[2], objects[3], /*pass_dt=*/false);
  if (fx.compiled() != nullptr) check_model_dims(*fx.compiled(), in.n, in.n);
  if (hx.compiled() != nullptr) check_model_dims(*hx.compiled(), in.n, in.m);
  in.angles = arg_angle_entries(args[7], in.n, in.m);
  in.smoother_angles = in.angles.states;
  std::sort(in.smoother_angles.begin(), in.smoother_angles.end());

  const npy_intp M = in.count, N = in.steps, n = in.n;
  check_shape_fits({M, N, n, n});
  const auto uM = static_cast<std::uint64_t>(M * N);
  const auto un = static_cast<std::uint64_t>(n);
  // Filtering without covariances is a likelihood evaluation: no rows.
  const bool all_rows = !out.smooth && covariances;
  unwrap(check_storage({{all_rows || out.smooth ? uM : 0, un}, {all_rows || covariances ? uM : 0, un * un},
                        {all_rows ? uM : 0, un},
                        {all_rows ? uM : 0, un * un}, {all_rows ? uM : 0, 2}}));
  in.x0 = view_of(arrays[kX0]);
  in.p0 = view_of(arrays[kP0]);
  in.zs = view_of(arrays[kZs]);
  in.qs = view_of(arrays[kQs]);
  in.rs = view_of(arrays[kRs]);
  in.dts = view_of(arrays[kDts]);

  const npy_intp xdims[3] = {M, N, n};
  const npy_intp pdims[4] = {M, N, n, n};
  const npy_intp ldims[2] = {M, N};
  const npy_intp sdims[1] = {M};
  Ref xs = all_rows || out.smooth ? new_array(3, xdims) : none();
  Ref ps = all_rows || (out.smooth && covariances) ? new_array(4, pdims) : none();
  Ref xs_prior = all_rows ? new_array(3, xdims) : none();
  Ref ps_prior = all_rows ? new_array(4, pdims) : none();
  Ref lls = all_rows ? new_array(2, ldims) : none();
  Ref nis = all_rows ? new_array(2, ldims) : none();
  Ref totals = new_array(1, sdims);
  Ref status = new_array(1, sdims, NPY_INT64);
  out.xs = xs.get() == Py_None ? nullptr : array_data(xs);
  out.ps = ps.get() == Py_None ? nullptr : array_data(ps);
  if (all_rows) {
    out.xs_prior = array_data(xs_prior);
    out.ps_prior = array_data(ps_prior);
    out.lls = array_data(lls);
    out.nis = array_data(nis);
  }
  out.totals = array_data(totals);
  out.status = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(status.get())));

  std::optional<panel::MeasurementFault> fault;
  without_lock([&] { fault = panel::find_measurement_fault(in.zs, in.gaps, runtime::WorkerPool::instance()); });
  if (fault) fail_measurement(arrays[kZs], in.m, labels, *fault);

  if (in.square_root) {
    run_panel<SrckfState>(in, out, fx, hx, objects);
  } else {
    run_panel<CkfState>(in, out, fx, hx, objects);
  }
  if (out.smooth) return tuple_of({&xs, &ps, &totals, &status});
  return tuple_of({&xs, &ps, &xs_prior, &ps_prior, &lls, &nis, &totals, &status});
}

const char* const kCubaturePanelDoc = signature_doc(kCubaturePanel, ""
    "The cubature filter (smooth false) or the filter and the cubature\n"
    "smoother (smooth true) of M sequences of one nonlinear model.\n"
    "\n"
    "  x0: (M, dim_x); p0: (M, dim_x, dim_x); zs: (M, N, dim_z)\n"
    "  qs: (M, N, dim_x, dim_x), rs: (M, N, dim_z, dim_z), dts: (M, N): the\n"
    "    noise and time step of each sequence's step k (broadcast views welcome)\n"
    "  models: (fx, fx_args, hx, hx_args); angles: (angle_states, angle_measurements)\n"
    "  nan_means_missing: a row of all NaN is a missed measurement\n"
    "  square_root: the square-root form\n"
    "  covariances: smoothing, the smoothed covariances are returned;\n"
    "    filtering, false returns the totals and statuses only (the other\n"
    "    items None): a likelihood evaluation\n"
    "  first_sequence: index of sequence 0 in messages, or None\n"
    "\n"
    "A sequence that fails stops there: its rows from that step on are NaN,\n"
    "its total NaN, and its status 2 (the arithmetic) or 3 (its model).\n"
    "Returns (xs, Ps, xs_prior, Ps_prior, log_likelihoods, nis, totals, status)\n"
    "or, smoothing, (xs, Ps or None, totals, status).", false);

PyMethodDef kFunctions[] = {
    {"cubature_panel", as_cfunction(&function_entry<kCubaturePanel, cubature_panel_body>), kKwFlags,
     kCubaturePanelDoc},
};

}  // namespace

void add_cubature_panel(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
