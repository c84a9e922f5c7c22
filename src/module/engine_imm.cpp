// The interacting multiple model estimator's native half: the mixing,
// combining and mode-probability steps of src/imm over the models' native
// filters (a lone IMM stepped from Python) or over arrays of many targets
// (a bank of IMMs, on the worker pool), and imm_run(), a whole run with
// compiled models in one call.
//
// Each model's steps are its filter's own predict_with and update_with (as
// run_filter runs them), so a one-model IMM is its filter bit for bit and a
// whole run gives the bits of a step-by-step one.  A step that fails leaves
// every model, and the IMM's probabilities, as they were before it.
#include "engine_imm.hpp"

#include "engine_run.hpp"
#include "filter_forms.hpp"
#include "record.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../imm/imm_mixing.hpp"
#include "../runtime/worker_pool.hpp"
#include "../srckf/srckf_ops.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {

using imm::ImmLayout;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t sz(Index v) { return static_cast<std::size_t>(v); }

// ---------------------------------------------------------------------------
// Arguments

/// The layout argument: (state_maps, transition, angle_components), the maps
/// a tuple of index sequences, transition a (models, models) float64 array.
ImmLayout arg_layout(PyObject* obj) {
  PyObject* parts = arg_tuple(obj, "layout");
  if (PyTuple_Size(parts) != 3) fail(Error::value("layout must be (state_maps, transition, angle_components)"));
  PyObject* maps_obj = arg_tuple(PyTuple_GetItem(parts, 0), "state_maps");
  constexpr std::int64_t kBound = std::int64_t{1} << 40;
  std::vector<std::vector<Index>> maps;
  for (Py_ssize_t i = 0; i < PyTuple_Size(maps_obj); ++i) {
    maps.push_back(arg_indices(PyTuple_GetItem(maps_obj, i), "state_maps", kBound, true));
  }
  const ArrayIn t = arg_array(PyTuple_GetItem(parts, 1), 2, "transition");
  const auto models = static_cast<npy_intp>(maps.size());
  if (t.dim(0) != models || t.dim(1) != models) {
    fail(Error::value("transition must have shape (" + std::to_string(models) + ", " + std::to_string(models) +
                      ")"));
  }
  std::vector<double> transition;
  for (npy_intp i = 0; i < models; ++i) {
    for (npy_intp j = 0; j < models; ++j) transition.push_back(t.at(i, j));
  }
  const std::vector<Index> angles = arg_indices(PyTuple_GetItem(parts, 2), "angle_components", kBound, true);
  return unwrap(ImmLayout::create(maps, std::move(transition), angles));
}

/// A C-contiguous float64 array of exactly `dims`, read-borrowed.
ArrayIn arg_exact(PyObject* obj, const char* name, std::initializer_list<npy_intp> dims) {
  const int nd = static_cast<int>(dims.size());
  ArrayIn a = arg_array(obj, nd, name);
  int k = 0;
  bool ok = PyArray_IS_C_CONTIGUOUS(a.array()) != 0;
  for (npy_intp d : dims) ok = ok && a.dim(k++) == d;
  if (!ok) {
    std::string text = "(";
    k = 0;
    for (npy_intp d : dims) text += (k++ ? ", " : "") + std::to_string(d);
    fail(Error::value(std::string(name) + " must be a C-contiguous array of shape " + text + (nd == 1 ? ",)" : ")") +
                      ", got " + shape_text(a)));
  }
  return a;
}

const double* data_of(const ArrayIn& a) { return reinterpret_cast<const double*>(a.data()); }

// ---------------------------------------------------------------------------
// One model's native filter, of either form

class Slot {
 public:
  virtual ~Slot() = default;
  virtual Index n() const = 0;
  virtual const double* x() const = 0;
  /// The covariance, n by n (for the square-root form the product of its factor).
  virtual const double* P() = 0;
  /// The mixed initial condition assigned (the square-root form factors P).
  virtual void assign(const double* x, const double* P) = 0;
  virtual void predict(PointModel& fx, double dt) = 0;
  virtual void update(PointModel& hx, const DVector& z) = 0;
  virtual void skip() = 0;
  virtual double log_likelihood() const = 0;
  virtual void store(Index i, const RunRows& rows) const = 0;
  virtual void save() = 0;
  virtual void restore() = 0;
  virtual Index dim_z() const = 0;
  virtual double dt() const = 0;
  AngleEntries angles;
};

template <class State>
struct Covariance;

/// `dst` takes `src`'s values, storage kept when the shapes agree (they
/// always do between two copies of one filter's field).
template <class M>
void copy_values(M& dst, const M& src) {
  if (dst.rows() == src.rows() && dst.cols() == src.cols()) {
    if (src.size() > 0) std::memcpy(dst.data(), src.data(), sizeof(double) * sz(src.size()));
  } else {
    dst = src;
  }
}

template <>
struct Covariance<CkfState> {
  static const double* of(CkfState& s, DMatrix& /*cache*/) { return s.P.data(); }
  /// P: n by n, exactly symmetric (the mixing makes it so), so either
  /// storage order.
  static void assign(CkfState& s, const double* P, DMatrix& /*scratch*/) {
    std::memcpy(s.P.data(), P, sizeof(double) * sz(s.dim_x * s.dim_x));
  }
  /// The backup of a step: every field, by plain copies of the values (a
  /// step runs once per model per IMM step; the general assignment of each
  /// of the fifteen arrays costs more than the copying).
  static void save(CkfState& dst, const CkfState& src) {
    static_assert(sizeof(CkfState) == 3 * sizeof(double) + 6 * sizeof(DVector) + 8 * sizeof(DMatrix) +
                                          4 * sizeof(double) + sizeof(JitterStats) + sizeof(std::uint64_t),
                  "every field of CkfState is copied below");
    dst.dim_x = src.dim_x;
    dst.dim_z = src.dim_z;
    dst.dt = src.dt;
    for (DVector CkfState::*v : std::initializer_list<DVector CkfState::*>{&CkfState::x, &CkfState::y, &CkfState::z, &CkfState::z_pred, &CkfState::x_prior,
                                 &CkfState::x_post}) {
      copy_values(dst.*v, src.*v);
    }
    for (DMatrix CkfState::*a : std::initializer_list<DMatrix CkfState::*>{&CkfState::K, &CkfState::P, &CkfState::Q, &CkfState::R, &CkfState::S,
                                 &CkfState::SI, &CkfState::P_prior, &CkfState::P_post}) {
      copy_values(dst.*a, src.*a);
    }
    dst.log_likelihood = src.log_likelihood;
    dst.likelihood = src.likelihood;
    dst.mahalanobis = src.mahalanobis;
    dst.nis = src.nis;
    dst.jitter = src.jitter;
    dst.singular_innovation_count = src.singular_innovation_count;
  }
};

template <>
struct Covariance<SrckfState> {
  static const double* of(SrckfState& s, DMatrix& cache) {
    cache = factor_product(s.chol_P);
    return cache.data();
  }
  static void assign(SrckfState& s, const double* P, DMatrix& scratch) {
    const Index n = s.dim_x;
    scratch.resize(n, n);
    std::memcpy(scratch.data(), P, sizeof(double) * sz(n * n));
    unwrap(assign_covariance(s, s.chol_P, scratch));
  }
  static void save(SrckfState& dst, const SrckfState& src) { dst = src; }
};

template <class State>
class SlotOf final : public Slot {
 public:
  explicit SlotOf(Instance<State>& inst) : guard_(inst.borrow, BorrowKind::Write), s_(inst.state) {}
  Index n() const override { return s_.dim_x; }
  Index dim_z() const override { return s_.dim_z; }
  double dt() const override { return s_.dt; }
  const double* x() const override { return s_.x.data(); }
  const double* P() override { return Covariance<State>::of(s_, cache_); }
  void assign(const double* x, const double* P) override {
    // Exactly symmetric (the kernel makes it so): either storage order.
    Covariance<State>::assign(s_, P, mixed_);
    for (Index k = 0; k < s_.dim_x; ++k) s_.x[k] = x[k];
  }
  void predict(PointModel& fx, double dt) override { FilterForm<State>::predict_with(s_, fx, dt, angles, &work_); }
  void update(PointModel& hx, const DVector& z) override {
    FilterForm<State>::update_with(s_, hx, z, nullptr, angles, &work_);
  }
  void skip() override { clear_diagnostics(s_); }
  double log_likelihood() const override { return s_.log_likelihood; }
  void store(Index i, const RunRows& rows) const override { FilterForm<State>::store_step(s_, i, rows); }
  void save() override {
    if (!backup_) {
      backup_.emplace(s_);
    } else {
      Covariance<State>::save(*backup_, s_);
    }
  }
  void restore() override {
    if (backup_) s_ = *backup_;
  }

 private:
  ObjectBorrow guard_;
  State& s_;
  StepWork<State> work_;
  DMatrix cache_, mixed_;
  std::optional<State> backup_;
};

/// The models' native filters, each write-borrowed for the call.
std::vector<std::unique_ptr<Slot>> arg_slots(PyObject* obj, const ImmLayout& L) {
  PyObject* filters = arg_tuple(obj, "filters");
  if (PyTuple_Size(filters) != L.models) fail(Error::value("filters must hold one filter per model"));
  std::vector<std::unique_ptr<Slot>> slots;
  for (Py_ssize_t i = 0; i < PyTuple_Size(filters); ++i) {
    PyObject* f = PyTuple_GetItem(filters, i);
    auto is_a = [&](const ClassInfo& cls) { return cls.type != nullptr && PyObject_TypeCheck(f, cls.type); };
    if (is_a(FilterForm<CkfState>::cls)) {
      slots.push_back(std::make_unique<SlotOf<CkfState>>(*reinterpret_cast<CkfInstance*>(f)));
    } else if (is_a(FilterForm<SrckfState>::cls)) {
      slots.push_back(std::make_unique<SlotOf<SrckfState>>(*reinterpret_cast<SrckfInstance*>(f)));
    } else {
      fail(Error::type("filters must hold CubatureKalmanFilter or SquareRootCubatureKalmanFilter objects, got " +
                       type_name(f)));
    }
    if (slots.back()->n() != L.size(static_cast<Index>(i))) {
      fail(Error::value("filter " + std::to_string(i) + " has " + std::to_string(slots.back()->n()) +
                        " states, its state map " + std::to_string(L.size(static_cast<Index>(i)))));
    }
  }
  return slots;
}

/// The mixing and prediction-side state of one IMM over its slots.
struct ImmSteps {
  const ImmLayout& L;
  std::vector<std::unique_ptr<Slot>>& slots;
  imm::MixWork work;
  std::vector<double> omega, cbar;
  std::vector<char> identity;
  std::vector<std::vector<double>> mx, mP;
  imm::Estimates est;

  ImmSteps(const ImmLayout& layout, std::vector<std::unique_ptr<Slot>>& s)
      : L(layout), slots(s), omega(sz(L.models * L.models)), cbar(sz(L.models)), identity(sz(L.models)) {
    mx.resize(sz(L.models));
    mP.resize(sz(L.models));
    for (Index i = 0; i < L.models; ++i) {
      mx[sz(i)].resize(sz(L.size(i)));
      mP[sz(i)].resize(sz(L.size(i) * L.size(i)));
    }
    est.x.resize(sz(L.models));
    est.P.resize(sz(L.models));
  }

  void read_estimates() {
    for (Index i = 0; i < L.models; ++i) {
      est.x[sz(i)] = slots[sz(i)]->x();
      est.P[sz(i)] = slots[sz(i)]->P();
    }
  }

  /// Mixing: every model's mixed initial condition from the estimates as
  /// they stand, then assigned; `prior` gets the floored cbar.
  void mix(const double* mu, double* prior) {
    imm::mixing_weights(L, mu, cbar.data(), omega.data());
    read_estimates();
    for (Index j = 0; j < L.models; ++j) {
      identity[sz(j)] = imm::mixing_is_identity(L, omega.data(), j) ? 1 : 0;
      if (identity[sz(j)] == 0) imm::mix_into(L, omega.data(), est, j, mx[sz(j)].data(), mP[sz(j)].data(), work);
    }
    for (Index j = 0; j < L.models; ++j) {
      if (identity[sz(j)] == 0) slots[sz(j)]->assign(mx[sz(j)].data(), mP[sz(j)].data());
    }
    for (Index j = 0; j < L.models; ++j) prior[j] = cbar[sz(j)];
    imm::apply_floor(L.models, prior);
  }

  void combine(const double* mu, double* x, double* P) {
    read_estimates();
    imm::combine(L, mu, est, x, P, work);
  }
};

// ---------------------------------------------------------------------------
// A lone IMM stepped from Python

constexpr Params kImmMix{"imm_mix()", 3, 3, {"filters", "layout", "mu"}};
constexpr Params kImmCombine{"imm_combine()", 3, 3, {"filters", "layout", "mu"}};
constexpr Params kImmModes{"imm_modes()", 3, 3, {"layout", "prior", "log_likelihoods"}};

Ref imm_mix(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[1]);
  auto slots = arg_slots(args[0], L);
  const ArrayIn mu = arg_exact(args[2], "mu", {L.models});
  const npy_intp dims[1] = {L.models};
  Ref prior = new_array(1, dims);
  ImmSteps steps(L, slots);
  // Assigned to copies first: a square-root model whose mixed covariance
  // cannot be factored fails the call with no model changed.
  for (auto& s : slots) s->save();
  try {
    steps.mix(data_of(mu), array_data(prior));
  } catch (...) {
    for (auto& s : slots) s->restore();
    throw;
  }
  return prior;
}

Ref imm_combine(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[1]);
  auto slots = arg_slots(args[0], L);
  const ArrayIn mu = arg_exact(args[2], "mu", {L.models});
  const npy_intp vdims[1] = {L.r};
  const npy_intp mdims[2] = {L.r, L.r};
  Ref x = new_array(1, vdims);
  Ref P = new_array(2, mdims);
  ImmSteps steps(L, slots);
  steps.combine(data_of(mu), array_data(x), array_data(P));
  return tuple_of({&x, &P});
}

Ref imm_modes(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[0]);
  const ArrayIn prior = arg_exact(args[1], "prior", {L.models});
  const ArrayIn lls = arg_exact(args[2], "log_likelihoods", {L.models});
  const npy_intp dims[1] = {L.models};
  Ref mu = new_array(1, dims);
  imm::MixWork work;
  Ref total = new_float(imm::mode_probabilities(L, data_of(prior), data_of(lls), array_data(mu), work));
  return tuple_of({&mu, &total});
}

// ---------------------------------------------------------------------------
// Many targets at once (IMMBank): arrays with a leading axis of M targets

constexpr Params kBankMix{"imm_bank_mix()", 4, 4, {"layout", "mus", "xs", "Ps"}};
constexpr Params kBankCombine{"imm_bank_combine()", 4, 4, {"layout", "mus", "xs", "Ps"}};
constexpr Params kBankModes{"imm_bank_modes()", 4, 4, {"layout", "mus", "log_likelihoods", "which"}};

struct BankArrays {
  std::vector<ArrayIn> xs, Ps;
  Index count = 0;
};

/// xs and Ps: tuples of the models' (M, n_i) means and (M, n_i, n_i) covariances.
BankArrays arg_bank_arrays(PyObject* xs_obj, PyObject* ps_obj, const ImmLayout& L, Index count) {
  PyObject* xs = arg_tuple(xs_obj, "xs");
  PyObject* ps = arg_tuple(ps_obj, "Ps");
  if (PyTuple_Size(xs) != L.models || PyTuple_Size(ps) != L.models) {
    fail(Error::value("xs and Ps must hold one array per model"));
  }
  BankArrays b;
  b.count = count;
  for (Index i = 0; i < L.models; ++i) {
    const npy_intp n = L.size(i);
    b.xs.push_back(arg_exact(PyTuple_GetItem(xs, i), "xs", {count, n}));
    b.Ps.push_back(arg_exact(PyTuple_GetItem(ps, i), "Ps", {count, n, n}));
  }
  return b;
}

/// body(begin, end) over chunks of the targets on the pool, the lock released.
template <class Body>
void each_target(Index count, Body&& body) {
  if (count == 0) return;
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  without_lock([&] {
    pool.parallel_for(sz(count), 256, [&](std::size_t b, std::size_t e) {
      body(static_cast<Index>(b), static_cast<Index>(e));
    });
  });
}

imm::Estimates target_estimates(const ImmLayout& L, const BankArrays& b, Index t) {
  imm::Estimates est;
  for (Index i = 0; i < L.models; ++i) {
    const Index n = L.size(i);
    est.x.push_back(data_of(b.xs[sz(i)]) + t * n);
    est.P.push_back(data_of(b.Ps[sz(i)]) + t * n * n);
  }
  return est;
}

Ref imm_bank_mix(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[0]);
  const ArrayIn mus_in = arg_array(args[1], 2, "mus");
  const Index count = mus_in.dim(0);
  const ArrayIn mus = arg_exact(args[1], "mus", {count, L.models});
  const BankArrays b = arg_bank_arrays(args[2], args[3], L, count);
  const npy_intp pdims[2] = {count, L.models};
  Ref priors = new_array(2, pdims);
  std::vector<Ref> mixed_x, mixed_P;
  std::vector<double*> out_x, out_P;
  for (Index i = 0; i < L.models; ++i) {
    const npy_intp n = L.size(i);
    const npy_intp vd[2] = {count, n};
    const npy_intp md[3] = {count, n, n};
    mixed_x.push_back(new_array(2, vd));
    mixed_P.push_back(new_array(3, md));
    out_x.push_back(array_data(mixed_x.back()));
    out_P.push_back(array_data(mixed_P.back()));
  }
  double* prior = array_data(priors);
  const double* mu = data_of(mus);
  each_target(count, [&](Index begin, Index end) {
    imm::MixWork work;
    const Index m = L.models;
    std::vector<double> omega(sz(m * m)), cbar(sz(m));
    for (Index t = begin; t < end; ++t) {
      const imm::Estimates est = target_estimates(L, b, t);
      imm::mixing_weights(L, mu + t * m, cbar.data(), omega.data());
      for (Index j = 0; j < m; ++j) {
        const Index n = L.size(j);
        double* x0 = out_x[sz(j)] + t * n;
        double* P0 = out_P[sz(j)] + t * n * n;
        if (imm::mixing_is_identity(L, omega.data(), j)) {
          std::memcpy(x0, est.x[sz(j)], sizeof(double) * sz(n));
          std::memcpy(P0, est.P[sz(j)], sizeof(double) * sz(n * n));
        } else {
          imm::mix_into(L, omega.data(), est, j, x0, P0, work);
        }
      }
      for (Index j = 0; j < m; ++j) prior[t * m + j] = cbar[sz(j)];
      imm::apply_floor(m, prior + t * m);
    }
  });
  Ref xs_t = Ref::steal(PyTuple_New(L.models));
  Ref ps_t = Ref::steal(PyTuple_New(L.models));
  if (!xs_t || !ps_t) fail_python();
  for (Index i = 0; i < L.models; ++i) {
    PyTuple_SetItem(xs_t.get(), i, mixed_x[sz(i)].release());
    PyTuple_SetItem(ps_t.get(), i, mixed_P[sz(i)].release());
  }
  return tuple_of({&priors, &xs_t, &ps_t});
}

Ref imm_bank_combine(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[0]);
  const ArrayIn mus_in = arg_array(args[1], 2, "mus");
  const Index count = mus_in.dim(0);
  const ArrayIn mus = arg_exact(args[1], "mus", {count, L.models});
  const BankArrays b = arg_bank_arrays(args[2], args[3], L, count);
  const npy_intp vd[2] = {count, L.r};
  const npy_intp md[3] = {count, L.r, L.r};
  Ref x = new_array(2, vd);
  Ref P = new_array(3, md);
  double* xo = array_data(x);
  double* Po = array_data(P);
  const double* mu = data_of(mus);
  each_target(count, [&](Index begin, Index end) {
    imm::MixWork work;
    for (Index t = begin; t < end; ++t) {
      imm::combine(L, mu + t * L.models, target_estimates(L, b, t), xo + t * L.r, Po + t * L.r * L.r, work);
    }
  });
  return tuple_of({&x, &P});
}

/// New mode probabilities of the targets flagged in `which` (bool, (M,));
/// the others keep theirs and get a NaN log-likelihood.
Ref imm_bank_modes(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[0]);
  const ArrayIn mus_in = arg_array(args[1], 2, "mus");
  const Index count = mus_in.dim(0);
  const ArrayIn mus = arg_exact(args[1], "mus", {count, L.models});
  const ArrayIn lls = arg_exact(args[2], "log_likelihoods", {count, L.models});
  auto* which_arr = reinterpret_cast<PyArrayObject*>(args[3]);
  if (!ensure_numpy()) fail_python();
  if (!PyArray_Check(args[3]) || PyArray_NDIM(which_arr) != 1 || PyArray_TYPE(which_arr) != NPY_BOOL ||
      !PyArray_IS_C_CONTIGUOUS(which_arr) || PyArray_DIM(which_arr, 0) != count) {
    fail(Error::type("which must be a C-contiguous bool array of length " + std::to_string(count)));
  }
  const auto* which = static_cast<const npy_bool*>(PyArray_DATA(which_arr));
  const npy_intp pd[2] = {count, L.models};
  const npy_intp sd[1] = {count};
  Ref out = new_array(2, pd);
  Ref totals = new_array(1, sd);
  double* mo = array_data(out);
  double* to = array_data(totals);
  const double* mi = data_of(mus);
  const double* li = data_of(lls);
  each_target(count, [&](Index begin, Index end) {
    imm::MixWork work;
    const Index m = L.models;
    for (Index t = begin; t < end; ++t) {
      if (which[t]) {
        to[t] = imm::mode_probabilities(L, mi + t * m, li + t * m, mo + t * m, work);
      } else {
        std::memcpy(mo + t * m, mi + t * m, sizeof(double) * sz(m));
        to[t] = kNaN;
      }
    }
  });
  return tuple_of({&out, &totals});
}

// ---------------------------------------------------------------------------
// A whole run with compiled models

constexpr Params kImmRun{"imm_run()", 9, 9,
                         {"filters", "models", "angles", "layout", "state", "zs", "missing", "dts", "position"}};

/// How long the steps run between two looks at Ctrl-C.
constexpr auto kSlice = std::chrono::milliseconds(20);

/// A writeable, aligned, C-contiguous float64 array of exactly `dims`, written
/// while the lock is released (it must be the caller's own).
double* arg_output(PyObject* obj, const char* name, std::initializer_list<npy_intp> dims) {
  if (!ensure_numpy()) fail_python();
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  bool ok = PyArray_Check(obj) && PyArray_NDIM(a) == static_cast<int>(dims.size()) &&
            PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISWRITEABLE(a) && PyArray_IS_C_CONTIGUOUS(a) &&
            PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a);
  int k = 0;
  for (npy_intp d : dims) ok = ok && PyArray_DIM(a, k++) == d;
  if (!ok) fail(Error::type(std::string(name) + " must be a writeable C-contiguous float64 array of its shape"));
  return static_cast<double*>(PyArray_DATA(a));
}

Ref imm_run(PyObject* const* args) {
  const ImmLayout L = arg_layout(args[3]);
  auto slots = arg_slots(args[0], L);
  const Index m = L.models;
  PyObject* models = arg_tuple(args[1], "models");
  PyObject* angles = arg_tuple(args[2], "angles");
  if (PyTuple_Size(models) != m || PyTuple_Size(angles) != m) {
    fail(Error::value("models and angles must hold one entry per model"));
  }
  const Index dim_z = slots[0]->dim_z();
  std::vector<std::optional<ModelCall>> fx(sz(m)), hx(sz(m));
  for (Index i = 0; i < m; ++i) {
    Slot& s = *slots[sz(i)];
    if (s.dim_z() != dim_z) fail(Error::value("every model's filter must have the same dim_z"));
    const RunModels rm = arg_run_models(PyTuple_GetItem(models, i));
    fx[sz(i)].emplace(rm.fx, rm.fx_args, /*pass_dt=*/true);
    hx[sz(i)].emplace(rm.hx, rm.hx_args, /*pass_dt=*/false);
    if (fx[sz(i)]->compiled() == nullptr || hx[sz(i)]->compiled() == nullptr) {
      fail(Error::type("imm_run() runs compiled models only: fx and hx must be CompiledModel objects"));
    }
    check_model_dims(*fx[sz(i)]->compiled(), s.n(), s.n());
    check_model_dims(*hx[sz(i)]->compiled(), s.n(), dim_z);
    s.angles = arg_angle_entries(PyTuple_GetItem(angles, i), s.n(), dim_z);
  }
  // state = (mu, x, P, log_likelihood): the IMM's own, kept up to date step by step.
  PyObject* state = arg_tuple(args[4], "state");
  if (PyTuple_Size(state) != 4) fail(Error::value("state must be (mu, x, P, log_likelihood)"));
  double* mu = arg_output(PyTuple_GetItem(state, 0), "mu", {m});
  double* x_now = arg_output(PyTuple_GetItem(state, 1), "x", {L.r});
  double* P_now = arg_output(PyTuple_GetItem(state, 2), "P", {L.r, L.r});
  double* ll_now = arg_output(PyTuple_GetItem(state, 3), "log_likelihood", {1});

  const ArrayIn zs_in = arg_array(args[5], 2, "zs");
  const Index steps = zs_in.dim(0);
  const ArrayIn zs = arg_exact(args[5], "zs", {steps, dim_z});
  const npy_bool* missing = nullptr;
  if (given(args[6])) {
    auto* a = reinterpret_cast<PyArrayObject*>(args[6]);
    if (!PyArray_Check(args[6]) || PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_BOOL ||
        !PyArray_IS_C_CONTIGUOUS(a) || PyArray_DIM(a, 0) != steps) {
      fail(Error::type("missing must be a C-contiguous bool array of length " + std::to_string(steps)));
    }
    missing = static_cast<const npy_bool*>(PyArray_DATA(a));
  }
  std::optional<ArrayIn> dts_in;
  const double* dts = nullptr;
  if (given(args[7])) {
    dts_in = arg_exact(args[7], "dts", {steps});
    dts = data_of(*dts_in);
  }
  std::int64_t* position = nullptr;
  {
    auto* a = reinterpret_cast<PyArrayObject*>(args[8]);
    if (!PyArray_Check(args[8]) || PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 2 || PyArray_TYPE(a) != NPY_INT64 ||
        !PyArray_ISWRITEABLE(a) || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
      fail(Error::type("position must be a writeable, C-contiguous, aligned int64 array of two entries"));
    }
    position = static_cast<std::int64_t*>(PyArray_DATA(a));
  }

  const npy_intp xd[2] = {steps, L.r};
  const npy_intp pd[3] = {steps, L.r, L.r};
  const npy_intp md[2] = {steps, m};
  const npy_intp ld[1] = {steps};
  Ref xs = new_array(2, xd), Ps = new_array(3, pd), mus = new_array(2, md), lls = new_array(1, ld);
  Ref xs_model = Ref::steal(PyTuple_New(m));
  Ref Ps_model = Ref::steal(PyTuple_New(m));
  if (!xs_model || !Ps_model) fail_python();
  std::vector<RunRows> model_rows;
  for (Index i = 0; i < m; ++i) {
    const npy_intp n = slots[sz(i)]->n();
    const npy_intp vd[2] = {steps, n};
    const npy_intp cd[3] = {steps, n, n};
    Ref a = new_array(2, vd);
    Ref b = new_array(3, cd);
    model_rows.push_back(RunRows{array_data(a), array_data(b), nullptr, nullptr, nullptr, nullptr, n});
    PyTuple_SetItem(xs_model.get(), i, a.release());
    PyTuple_SetItem(Ps_model.get(), i, b.release());
  }
  double* xo = array_data(xs);
  double* Po = array_data(Ps);
  double* mo = array_data(mus);
  double* lo = array_data(lls);
  const double* z_rows = data_of(zs);

  ImmSteps imm_steps(L, slots);
  std::vector<double> prior(sz(m)), logliks(sz(m)), mu_new(sz(m));
  DVector z(dim_z);
  const Index r = L.r;
  Index i = 0;
  while (i < steps) {
    without_lock([&] {
      const auto start = std::chrono::steady_clock::now();
      while (i < steps) {
        position[0] = i;
        position[1] = 0;
        for (auto& s : slots) s->save();
        try {
          imm_steps.mix(mu, prior.data());
          for (Index j = 0; j < m; ++j) slots[sz(j)]->predict(fx[sz(j)]->get(), dts ? dts[i] : slots[sz(j)]->dt());
          double ll = kNaN;
          if (missing != nullptr && missing[i]) {
            for (auto& s : slots) s->skip();
            std::memcpy(mu_new.data(), prior.data(), sizeof(double) * sz(m));
          } else {
            position[1] = 1;
            for (Index k = 0; k < dim_z; ++k) z[k] = z_rows[i * dim_z + k];
            for (Index j = 0; j < m; ++j) {
              slots[sz(j)]->update(hx[sz(j)]->get(), z);
              logliks[sz(j)] = slots[sz(j)]->log_likelihood();
            }
            ll = imm::mode_probabilities(L, prior.data(), logliks.data(), mu_new.data(), imm_steps.work);
          }
          imm_steps.combine(mu_new.data(), xo + i * r, Po + i * r * r);
          std::memcpy(mu, mu_new.data(), sizeof(double) * sz(m));
          std::memcpy(mo + i * m, mu, sizeof(double) * sz(m));
          lo[i] = ll;
          std::memcpy(x_now, xo + i * r, sizeof(double) * sz(r));
          std::memcpy(P_now, Po + i * r * r, sizeof(double) * sz(r * r));
          ll_now[0] = ll;
          for (Index j = 0; j < m; ++j) slots[sz(j)]->store(i, model_rows[sz(j)]);
        } catch (...) {
          // The IMM keeps the state reached before the failing step.
          for (auto& s : slots) s->restore();
          throw;
        }
        ++i;
        if ((i & 31) == 0 && std::chrono::steady_clock::now() - start > kSlice) break;
      }
    });
    position[0] = i;
    if (PyErr_CheckSignals() < 0) fail_python();
  }
  return tuple_of({&xs, &Ps, &mus, &lls, &xs_model, &Ps_model});
}

// ---------------------------------------------------------------------------

const char* const kImmMixDoc = signature_doc(kImmMix, ""
    "Mix the models' estimates into each model's filter (filters: a tuple of\n"
    "native filters, one per model; layout: (state_maps, transition,\n"
    "angle_components); mu: (models,)). Returns the predicted mode\n"
    "probabilities, floored. On failure no filter changes.", false);

const char* const kImmCombineDoc = signature_doc(kImmCombine, ""
    "The combined estimate (x (r,), P (r, r)) of the filters' estimates with\n"
    "the mode probabilities mu.", false);

const char* const kImmModesDoc = signature_doc(kImmModes, ""
    "The mode probabilities after a measurement, from the prior ones and the\n"
    "models' log-likelihoods, and the log mixture likelihood: (mu, total).", false);

const char* const kBankMixDoc = signature_doc(kBankMix, ""
    "Mixing for M targets: mus (M, models), xs and Ps tuples of the models'\n"
    "(M, n_i) and (M, n_i, n_i) arrays. Returns (priors (M, models), mixed xs,\n"
    "mixed Ps).", false);

const char* const kBankCombineDoc = signature_doc(kBankCombine, ""
    "The combined estimates of M targets: (x (M, r), P (M, r, r)).", false);

const char* const kBankModesDoc = signature_doc(kBankModes, ""
    "Mode probabilities of M targets after a measurement, for the targets\n"
    "flagged in which (bool (M,)); the others keep theirs. Returns (mus,\n"
    "log mixture likelihoods, NaN where not flagged).", false);

const char* const kImmRunDoc = signature_doc(kImmRun, ""
    "A whole IMM run with compiled models in one call, the interpreter lock\n"
    "released. models: one (fx, fx_args, hx, hx_args) per model; angles: one\n"
    "(angle_states, angle_measurements) per model; state: (mu, x, P,\n"
    "log_likelihood) arrays updated after each step; position[0] follows the\n"
    "step and position[1] its half. Returns (xs, Ps, mus, log_likelihoods,\n"
    "xs_model, Ps_model).", false);

PyMethodDef kFunctions[] = {
    {"imm_mix", as_cfunction(&function_entry<kImmMix, imm_mix>), kKwFlags, kImmMixDoc},
    {"imm_combine", as_cfunction(&function_entry<kImmCombine, imm_combine>), kKwFlags, kImmCombineDoc},
    {"imm_modes", as_cfunction(&function_entry<kImmModes, imm_modes>), kKwFlags, kImmModesDoc},
    {"imm_bank_mix", as_cfunction(&function_entry<kBankMix, imm_bank_mix>), kKwFlags, kBankMixDoc},
    {"imm_bank_combine", as_cfunction(&function_entry<kBankCombine, imm_bank_combine>), kKwFlags, kBankCombineDoc},
    {"imm_bank_modes", as_cfunction(&function_entry<kBankModes, imm_bank_modes>), kKwFlags, kBankModesDoc},
    {"imm_run", as_cfunction(&function_entry<kImmRun, imm_run>), kKwFlags, kImmRunDoc},
};

}  // namespace

void add_imm(PyObject* module) {
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
}

}  // namespace vexel::py
