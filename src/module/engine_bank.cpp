// CkfBank: conversion and validation of the bank's arrays, and the two
// callback calls that sit between the native halves of a step.
//
// A step releases the interpreter lock for each native half (the workers
// touch only the bank's own storage) and holds it to build the callback's
// array, call the callback and copy its images back.  Every check that can
// fail the call comes before the second half, the only one that changes the
// filters.
#include "engine_bank.hpp"

#include "../kit/kit.hpp"

#include "../bank/ckf_bank.hpp"
#include "../batch/worker_pool.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vexel::py {

namespace {

using bank::CkfBank;

/// The bank and the array its callbacks last saw.  The array is drawn into
/// again at the next step when nothing but this holds it (a callback that
/// kept it gets a fresh one): a new 2n*M*n array per step would cost its
/// page faults every step.
/// Counts the banks alive: the warm memory their callbacks' arrays leave
/// behind is kept for the next step of any bank and given back to the
/// system when the last bank goes.
class LiveBank {
 public:
  LiveBank() { ++count_; }
  LiveBank(const LiveBank&) { ++count_; }
  LiveBank& operator=(const LiveBank&) = default;
  ~LiveBank() {
    if (--count_ == 0) release_warm_memory();
  }

 private:
  static inline int count_ = 0;  // changed with the interpreter lock held
};

struct BankObject {
  CkfBank b;
  Ref points;
  LiveBank live;

  explicit BankObject(CkfBank bank) : b(std::move(bank)) {}
};
using BankInstance = Instance<BankObject>;

ClassInfo g_bank_class{nullptr, "CkfBank"};

constexpr BorrowKind kRead = BorrowKind::Read;
constexpr BorrowKind kWrite = BorrowKind::Write;

std::size_t sz(Index v) { return static_cast<std::size_t>(v); }
std::string shape_of(const ArrayIn& a) {
  std::string s = "(";
  for (int i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + num(a.dim(i));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

bool has_shape(const ArrayIn& a, std::initializer_list<Index> dims) {
  int i = 0;
  for (Index d : dims) {
    if (a.dim(i++) != d) return false;
  }
  return true;
}

/// An accepted float64 array of the given shape copied out, optionally
/// required finite; ValueError naming the argument and the expected shape.
std::vector<double> take_array(PyObject* obj, const char* name, std::initializer_list<Index> dims, bool finite) {
  const ArrayIn a = arg_array(obj, static_cast<int>(dims.size()), name);
  if (!has_shape(a, dims)) {
    fail(Error::value(std::string(name) + " must have shape " + shape_text(dims) + ", got " + shape_of(a)));
  }
  std::size_t total = 1;
  for (Index d : dims) total *= sz(d);
  std::vector<double> out(total);
  copy_c_order(a, out.data());
  if (finite) {
    for (double v : out) {
      if (!is_finite(v)) fail(Error::value(std::string(name) + " must contain only finite values"));
    }
  }
  return out;
}

int ndim_of(PyObject* obj) {
  // Setting Q or R may be the process's first native call that looks at an
  // array, and PyArray_Check goes through NumPy's API table.
  if (!ensure_numpy()) fail_python();
  return PyArray_Check(obj) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) : -1;
}

/// A noise matrix: (k, k) shared by every filter, or (count, k, k) per filter.
std::vector<double> take_noise(PyObject* obj, const char* name, Index count, Index k, bool& per_filter) {
  per_filter = ndim_of(obj) == 3;
  const ArrayIn a = arg_array(obj, per_filter ? 3 : 2, name);
  const bool ok = per_filter ? has_shape(a, {count, k, k}) : has_shape(a, {k, k});
  if (!ok) {
    fail(Error::value(std::string(name) + " must have shape " + shape_text({k, k}) + " or " +
                      shape_text({count, k, k}) + ", got " + shape_of(a)));
  }
  return take_array(obj, name, per_filter ? std::initializer_list<Index>{count, k, k} : std::initializer_list<Index>{k, k},
                    true);
}

/// Per-filter integers stored as float64 (status, counters): whole values in
/// [0, limit].
template <class T>
std::vector<T> take_counts(PyObject* obj, const char* name, Index count, double limit) {
  const std::vector<double> v = take_array(obj, name, {count}, true);
  std::vector<T> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] < 0.0 || v[i] > limit || v[i] != std::floor(v[i])) {
      fail(Error::value(std::string(name) + " must hold whole numbers from 0 to " + format_double(limit)));
    }
    out[i] = static_cast<T>(v[i]);
  }
  return out;
}

std::vector<Index> take_indices(PyObject* obj, const char* name) {
  if (!PyList_Check(obj)) fail(Error::type(std::string(name) + " must be a list of int"));
  const Py_ssize_t k = PyList_Size(obj);
  std::vector<Index> out(static_cast<std::size_t>(k));
  for (Py_ssize_t j = 0; j < k; ++j) {
    const Py_ssize_t v = PyLong_AsSsize_t(PyList_GetItem(obj, j));
    if (v == -1 && PyErr_Occurred()) fail_python();
    out[static_cast<std::size_t>(j)] = static_cast<Index>(v);
  }
  return out;
}

template <class T>
Ref array_from(const std::vector<T>& v, std::initializer_list<Index> dims, int typenum) {
  npy_intp shape[3] = {0, 0, 0};
  int nd = 0;
  for (Index d : dims) shape[nd++] = static_cast<npy_intp>(d);
  Ref a = new_array(nd, shape, typenum);
  if (!v.empty()) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), v.data(), v.size() * sizeof(T));
  return a;
}

/// Copies the callback's images into the bank.  A C-ordered array (the usual
/// result of NumPy arithmetic) is copied in blocks by the workers while this
/// thread keeps the interpreter lock, so no Python code can touch the array
/// meanwhile; any other layout is copied element by element here.
void copy_images(const ArrayIn& a, double* out) {
  const auto total = static_cast<std::size_t>(a.dim(0) * a.dim(1));
  const bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
  if (!aligned || !PyArray_IS_C_CONTIGUOUS(a.array()) || total < (std::size_t{1} << 16)) {
    copy_c_order(a, out);
    return;
  }
  const auto* in = reinterpret_cast<const double*>(a.data());
  batch::WorkerPool::instance().parallel_for(total, std::size_t{1} << 15, [&](std::size_t begin, std::size_t end) {
    std::memcpy(out + begin, in + begin, (end - begin) * sizeof(double));
  });
}

/// The cached array when it can be drawn into again: held by nothing else,
/// still a writeable, aligned, C-ordered float64 array of its own memory
/// with the shape of this step's points (a callback may have reshaped or
/// frozen it in place).
Ref reuse_points(Ref& cache, const npy_intp* dims) {
  Ref points = std::move(cache);
  if (!points || Py_REFCNT(points.get()) != 1) return new_array(2, dims);
  auto* a = reinterpret_cast<PyArrayObject*>(points.get());
  const bool usable = PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == dims[0] && PyArray_DIM(a, 1) == dims[1] &&
                      PyArray_TYPE(a) == NPY_DOUBLE && PyArray_BASE(a) == nullptr && PyArray_ISCARRAY(a) &&
                      PyArray_ISNOTSWAPPED(a);
  return usable ? std::move(points) : new_array(2, dims);
}

/// One step's callback: `draw` fills the step's (count * 2n, n) array (the
/// cached one where reuse_points allows) with every filter's points (the
/// lock released: the array is ours alone until the call), then fx(points, dt, *args) or hx(points, *args) runs once; its
/// images, checked as a lone filter checks its model output (for the bank's
/// row count), are copied into the bank's image buffer.
template <class Draw>
void call_model(PyObject* callable, BankObject& self, bool pass_dt, double dt, PyObject* extra_args, Index columns,
                Draw&& draw) {
  CkfBank& b = self.b;
  const Index rows = b.count * b.points_per_filter();
  check_shape_fits({rows, b.dim_x});
  const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(b.dim_x)};
  Ref points = reuse_points(self.points, dims);
  without_lock([&] {
    draw(array_data(points));
  });
  Ref kept = Ref::borrow(points.get());
  const Py_ssize_t n_extra = extra_args ? PyTuple_Size(extra_args) : 0;
  const Py_ssize_t n_fixed = pass_dt ? 2 : 1;
  Ref call_args = Ref::steal(PyTuple_New(n_fixed + n_extra));
  if (!call_args) fail_python();
  PyTuple_SetItem(call_args.get(), 0, points.release());
  if (pass_dt) PyTuple_SetItem(call_args.get(), 1, new_float(dt).release());
  for (Py_ssize_t k = 0; k < n_extra; ++k) {
    PyTuple_SetItem(call_args.get(), n_fixed + k, Ref::borrow(PyTuple_GetItem(extra_args, k)).release());
  }
  Ref result;
  {
    // The callback's temporaries are as large as the points: with warm
    // memory they reuse the last step's pages instead of faulting in new ones.
    WarmMemoryScope warm;
    result = Ref::steal(PyObject_Call(callable, call_args.get(), nullptr));
  }
  if (!result) fail_python();
  const ArrayIn a = accept_array(result.get(), 2);
  if (a.dim(0) != rows || a.dim(1) != columns) {
    fail(Error::value("model output must have shape (" + num(rows) + ", " + num(columns) + "), got (" +
                      num(a.dim(0)) + ", " + num(a.dim(1)) + ")"));
  }
  copy_images(a, b.images.data());
  self.points = std::move(kept);
}

// ---------------------------------------------------------------------------
// Methods

constexpr Params kNew{"CkfBank.__new__()", 4, 4, {"count", "dim_x", "dim_z", "dt"}};
constexpr Params kGet{"CkfBank.get()", 1, 1, {"name"}};
constexpr Params kSet{"CkfBank.set()", 2, 2, {"name", "value"}};
constexpr Params kSetDt{"CkfBank.set_dt()", 1, 1, {"dt"}};
constexpr Params kSetAngles{"CkfBank.set_angles()", 2, 2, {"states", "measurements"}};
constexpr Params kPredict{"CkfBank.predict()", 3, 1, {"fx", "dt", "fx_args"}};
constexpr Params kUpdate{"CkfBank.update()", 3, 2, {"zs", "hx", "hx_args"}};
constexpr Params kKeep{"CkfBank.keep()", 1, 1, {"indices"}};
constexpr Params kAdd{"CkfBank.add()", 4, 2, {"xs", "ps", "q", "r"}};

PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Ref {
    PyObject* a[kMaxParams] = {};
    parse_args(kNew, args, kwargs, a);
    const std::uint64_t count = arg_u64(a[0], "count");
    const std::uint64_t dim_x = arg_u64(a[1], "dim_x");
    const std::uint64_t dim_z = arg_u64(a[2], "dim_z");
    const double dt = arg_double(a[3], "dt");
    return new_instance(type, BankObject(unwrap(CkfBank::create(count, dim_x, dim_z, dt))));
  });
}

Ref bank_get(BankInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  const CkfBank& b = self.state.b;
  const Index M = b.count;
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  if (name == "count") return new_u64(static_cast<std::uint64_t>(M));
  if (name == "xs") return array_from(b.x, {M, n}, NPY_DOUBLE);
  if (name == "Ps") return array_from(b.P, {M, n, n}, NPY_DOUBLE);
  if (name == "xs_prior") return array_from(b.x_prior, {M, n}, NPY_DOUBLE);
  if (name == "Ps_prior") return array_from(b.P_prior, {M, n, n}, NPY_DOUBLE);
  if (name == "Q") return b.q_per_filter ? array_from(b.Q, {M, n, n}, NPY_DOUBLE) : array_from(b.Q, {n, n}, NPY_DOUBLE);
  if (name == "R") return b.r_per_filter ? array_from(b.R, {M, m, m}, NPY_DOUBLE) : array_from(b.R, {m, m}, NPY_DOUBLE);
  if (name == "status") return array_from(b.status, {M}, NPY_INT64);
  if (name == "log_likelihoods") return array_from(b.log_likelihood, {M}, NPY_DOUBLE);
  if (name == "nis") return array_from(b.nis, {M}, NPY_DOUBLE);
  if (name == "jitter_counts") return array_from(b.jitter_count, {M}, NPY_UINT64);
  if (name == "pending_status") return array_from(b.pending, {M}, NPY_INT64);
  fail(Error::value("unknown field name '" + name + "'"));
}

Ref bank_set(BankInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  PyObject* value = args[1];
  CkfBank& b = self.state.b;
  const Index M = b.count;
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  const char* c = name.c_str();
  if (name == "xs") {
    b.x = take_array(value, c, {M, n}, true);
  } else if (name == "Ps") {
    b.P = take_array(value, c, {M, n, n}, true);
  } else if (name == "xs_prior") {
    b.x_prior = take_array(value, c, {M, n}, true);
  } else if (name == "Ps_prior") {
    b.P_prior = take_array(value, c, {M, n, n}, true);
  } else if (name == "Q") {
    bool per_filter = false;
    std::vector<double> q = take_noise(value, c, M, n, per_filter);
    b.Q.swap(q);
    b.q_per_filter = per_filter;
  } else if (name == "R") {
    bool per_filter = false;
    std::vector<double> r = take_noise(value, c, M, m, per_filter);
    b.R.swap(r);
    b.r_per_filter = per_filter;
  } else if (name == "status" || name == "pending_status") {
    std::vector<std::int64_t> v = take_counts<std::int64_t>(value, c, M, 4.0);
    (name == "status" ? b.status : b.pending).swap(v);
  } else if (name == "log_likelihoods") {
    b.log_likelihood = take_array(value, c, {M}, false);
  } else if (name == "nis") {
    b.nis = take_array(value, c, {M}, false);
  } else if (name == "jitter_counts") {
    b.jitter_count = take_counts<std::uint64_t>(value, c, M, 9007199254740992.0);
  } else {
    fail(Error::value("unknown field name '" + name + "'"));
  }
  return none();
}

Ref bank_set_dt(BankInstance& self, PyObject* const* args) {
  const double dt = arg_double(args[0], "dt");
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  self.state.b.dt = dt;
  return none();
}

Ref bank_set_angles(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  std::vector<Index> states = take_indices(args[0], "states");
  std::vector<Index> measurements = take_indices(args[1], "measurements");
  for (Index a : states) {
    if (a < 0 || a >= b.dim_x) fail(Error::value("angle_states must be indices into x (0 to " + num(b.dim_x - 1) + ")"));
  }
  for (Index a : measurements) {
    if (a < 0 || a >= b.dim_z) {
      fail(Error::value("angle_measurements must be indices into z (0 to " + num(b.dim_z - 1) + ")"));
    }
  }
  b.angle_states.swap(states);
  b.angle_measurements.swap(measurements);
  return none();
}

Ref bank_predict(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  PyObject* fx = args[0];
  const double dt = given(args[1]) ? arg_double(args[1], "dt") : b.dt;
  PyObject* fx_args = given(args[2]) ? arg_tuple(args[2], "fx_args") : nullptr;
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  batch::WorkerPool& pool = batch::WorkerPool::instance();
  call_model(fx, self.state, /*pass_dt=*/true, dt, fx_args, b.dim_x,
             [&](double* points) { bank::draw_prediction_points(b, pool, points); });
  without_lock([&] {
    bank::finish_prediction(b, pool);
  });
  return none();
}

Ref bank_update(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  PyObject* hx = args[1];
  std::vector<double> zs = take_array(args[0], "zs", {b.count, b.dim_z}, false);
  PyObject* hx_args = given(args[2]) ? arg_tuple(args[2], "hx_args") : nullptr;
  b.z.swap(zs);
  batch::WorkerPool& pool = batch::WorkerPool::instance();
  call_model(hx, self.state, /*pass_dt=*/false, 0.0, hx_args, b.dim_z,
             [&](double* points) { bank::draw_update_points(b, pool, points); });
  without_lock([&] {
    bank::finish_update(b, pool);
  });
  return none();
}

Ref bank_keep(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  const std::vector<Index> indices = take_indices(args[0], "indices");
  std::vector<bool> seen(sz(b.count), false);
  for (Index i : indices) {
    if (i < 0 || i >= b.count) fail(Error::value("indices must lie in [0, " + num(b.count) + "), got " + num(i)));
    if (seen[sz(i)]) fail(Error::value("indices must not repeat a filter, got " + num(i) + " twice"));
    seen[sz(i)] = true;
  }
  bank::keep_filters(b, indices);
  return none();
}

Ref bank_add(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  const ArrayIn probe = arg_array(args[0], 2, "xs");
  const Index k = static_cast<Index>(probe.dim(0));
  const std::vector<double> xs = take_array(args[0], "xs", {k, n}, true);
  const std::vector<double> ps = take_array(args[1], "Ps", {k, n, n}, true);
  std::vector<double> qs;
  std::vector<double> rs;
  if (b.q_per_filter != given(args[2])) {
    fail(Error::value(b.q_per_filter ? "Q is per filter in this bank: add() needs Q of shape " + shape_text({k, n, n})
                                     : std::string("Q is shared by the bank: add() takes no Q")));
  }
  if (b.r_per_filter != given(args[3])) {
    fail(Error::value(b.r_per_filter ? "R is per filter in this bank: add() needs R of shape " + shape_text({k, m, m})
                                     : std::string("R is shared by the bank: add() takes no R")));
  }
  if (b.q_per_filter) qs = take_array(args[2], "Q", {k, n, n}, true);
  if (b.r_per_filter) rs = take_array(args[3], "R", {k, m, m}, true);
  // New filters start as a fresh lone filter given x and P: its prior is
  // the initial one until the first prediction.
  const Index first = b.count;
  b.grow(k);
  std::copy(xs.begin(), xs.end(), b.x.begin() + static_cast<std::ptrdiff_t>(first * n));
  std::copy(ps.begin(), ps.end(), b.P.begin() + static_cast<std::ptrdiff_t>(first * n * n));
  if (b.q_per_filter) std::copy(qs.begin(), qs.end(), b.Q.begin() + static_cast<std::ptrdiff_t>(first * n * n));
  if (b.r_per_filter) std::copy(rs.begin(), rs.end(), b.R.begin() + static_cast<std::ptrdiff_t>(first * m * m));
  return none();
}

Ref bank_copy(BankInstance& self) {
  return new_instance(g_bank_class.type, BankObject(self.state.b));
}

using Methods = MethodsOf<BankObject, g_bank_class>;
constexpr int kKw = kKwFlags;

PyMethodDef kMethods[] = {
    {"get", Methods::kw<kRead, kGet, bank_get>(), kKw,
     "get($self, name)\n--\n\nThe number of filters (count) or a fresh copy of one field: xs, Ps, xs_prior, Ps_prior, Q, R, status,\n"
     "log_likelihoods, nis, jitter_counts or pending_status."},
    {"set", Methods::kw<kWrite, kSet, bank_set>(), kKw,
     "set($self, name, value)\n--\n\nOverwrite one field (float64 arrays of the field's shape; Q and R\n"
     "(k, k) for all filters or (M, k, k) per filter; states and noises finite)."},
    {"set_dt", Methods::kw<kWrite, kSetDt, bank_set_dt>(), kKw, "set_dt($self, dt)\n--\n\nDefault time step."},
    {"set_angles", Methods::kw<kWrite, kSetAngles, bank_set_angles>(), kKw,
     "set_angles($self, states, measurements)\n--\n\nIndices (lists of int) of the angle components of x and z."},
    {"predict", Methods::kw<kWrite, kPredict, bank_predict>(), kKw,
     "predict($self, fx, dt=None, fx_args=None)\n--\n\nPredict every filter with one call fx(X, dt, *fx_args) over\n"
     "all M*2n points, filter i in rows 2n*i to 2n*(i+1)-1."},
    {"update", Methods::kw<kWrite, kUpdate, bank_update>(), kKw,
     "update($self, zs, hx, hx_args=None)\n--\n\nUpdate every filter with its row of zs (M, dim_z) and one call\n"
     "hx(X, *hx_args) over all points; a row of all NaN is no measurement."},
    {"keep", Methods::kw<kWrite, kKeep, bank_keep>(), kKw,
     "keep($self, indices)\n--\n\nKeep the filters at the given distinct indices (a list), in that order."},
    {"add", Methods::kw<kWrite, kAdd, bank_add>(), kKw,
     "add($self, xs, ps, q=None, r=None)\n--\n\nAppend filters; q and r only where the bank's noise is per filter."},
    {"copy", Methods::noargs<kRead, bank_copy>(), METH_NOARGS, "copy($self)\n--\n\nIndependent copy of the bank."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "CkfBank(count, dim_x, dim_z, dt)\n--\n\n"
    "A bank of covariance-form cubature filters stepped together, one model\n"
    "callback call per step for the whole bank.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&bank_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<BankObject>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeDefinition{"CkfBank", static_cast<int>(sizeof(BankInstance)), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

void add_bank(PyObject* module) {
  if (g_bank_class.type == nullptr) {
    // The reference is kept for the life of the process.
    g_bank_class.type =
        reinterpret_cast<PyTypeObject*>(new_final_class(&kTypeDefinition, "vexel_ckf._engine").release());
  }
  add_export(module, "CkfBank", Ref::borrow(reinterpret_cast<PyObject*>(g_bank_class.type)));
}

}  // namespace vexel::py
