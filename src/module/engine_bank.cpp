// CkfBank: the bank's arrays checked from their declarations (the field
// table for `get` and `set`), and the model call that sits between the
// native halves of a step.
//
// A step releases the interpreter lock for each native half (the workers
// touch only the bank's own storage) and holds it to call the model on the
// points drawn and copy its images back.  Every check that can
// fail the call comes before the second half, the only one that changes the
// filters.
#include "engine_bank.hpp"

#include "../kit/compiled_models.hpp"
#include "../kit/kit.hpp"

#include "../bank/ckf_bank.hpp"
#include "../kernels/filter_status.hpp"
#include "../kernels/storage.hpp"
#include "../runtime/worker_pool.hpp"

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
struct BankObject {
  CkfBank b;
  Ref points;

  explicit BankObject(CkfBank bank) : b(std::move(bank)) {}
};
using BankInstance = Instance<BankObject>;

ClassInfo g_bank_class{nullptr, "CkfBank"};

constexpr BorrowKind kRead = BorrowKind::Read;
constexpr BorrowKind kWrite = BorrowKind::Write;

// The bank's named dimensions, bound from the bank itself, and for add()
// the number of new filters, bound from their means.
enum { kDimM, kDimX, kDimZ, kDimNew };
constexpr ArrayDim kBankDims[] = {{"M", nullptr}, {"dim_x", nullptr}, {"dim_z", nullptr}, {"k", nullptr, 0}};

/// The bank's sizes bound in `arrays`.
void bind_bank(ArrayArgs& arrays, const CkfBank& b) {
  arrays.bind(kDimM, b.count);
  arrays.bind(kDimX, b.dim_x);
  arrays.bind(kDimZ, b.dim_z);
}

/// A checked array copied out in C order.
std::vector<double> copied(const ArrayIn& a) {
  std::size_t total = 1;
  for (int k = 0; k < a.ndim(); ++k) total *= static_cast<std::size_t>(a.dim(k));
  std::vector<double> out(total);
  copy_c_order(a, out.data());
  return out;
}

/// One step's model call: `draw` fills the step's (count * 2n, n) block of
/// points (the lock released: the buffer is ours alone until the call) with
/// every filter's points, then the model runs once on all of them; its
/// images, checked as a lone filter checks its model output (for the bank's
/// row count), land in the bank's image buffer.
template <class Draw>
void call_model(PyObject* callable, BankObject& self, bool pass_dt, double dt, PyObject* extra_args, Index columns,
                Draw&& draw) {
  CkfBank& b = self.b;
  b.reserve_images();
  PythonModel model(callable, extra_args, pass_dt, &self.points);
  double* points = model.points(b.count * b.points_per_filter(), b.dim_x);
  without_lock([&] {
    draw(points);
  });
  model.evaluate(dt, columns, b.images.data());
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
constexpr Params kAdd{"CkfBank.add()", 4, 2, {"new_xs", "new_Ps", "Q", "R"}};
constexpr Params kCopy{"CkfBank.copy()", 0, 0, {}};

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

// ---------------------------------------------------------------------------
// Fields: one table drives get, set and the rows the Python layer builds its
// attributes and snapshots from.

struct BankField {
  enum Kind {
    Floats,  // float64 storage of a fixed shape
    Noise,   // Q or R: one matrix for all filters, or one per filter
    Codes,   // int64 status codes, stored whole numbers 0 to kFilterStatusCount - 1
    Counts,  // uint64 counters, whole numbers up to 2^53 (exact in float64)
    Size,    // the number of filters (read-only)
  };
  const char* name;
  Kind kind;
  int ndim;
  int dims[3];  // kDimM, kDimX or kDimZ
  bool settable;
  bool finite;  // set: refuse NaN and infinities
  std::vector<double> CkfBank::*floats = nullptr;
  std::vector<std::int64_t> CkfBank::*codes = nullptr;
  std::vector<std::uint64_t> CkfBank::*counts = nullptr;
  bool CkfBank::*per_filter = nullptr;  // Noise
  /// The shape message, where the Python layer also takes one matrix for
  /// every filter (and broadcasts it) and the message says so.
  const char* shape = nullptr;
};

constexpr const char* kOneOrEach = "{label} must have shape ({dim_x}, {dim_x}) or ({M}, {dim_x}, {dim_x}), got {shape}";

// In snapshot order.
const BankField kBankFields[] = {
    {"count", BankField::Size, 0, {}, false, false},
    {"xs", BankField::Floats, 2, {kDimM, kDimX}, true, true, &CkfBank::x},
    {"Ps", BankField::Floats, 3, {kDimM, kDimX, kDimX}, true, true, &CkfBank::P, nullptr, nullptr,
     nullptr, kOneOrEach},
    {"xs_prior", BankField::Floats, 2, {kDimM, kDimX}, true, true, &CkfBank::x_prior},
    {"Ps_prior", BankField::Floats, 3, {kDimM, kDimX, kDimX}, true, true, &CkfBank::P_prior, nullptr,
     nullptr, nullptr, kOneOrEach},
    {"Q", BankField::Noise, 3, {kDimM, kDimX, kDimX}, true, true, &CkfBank::Q, nullptr, nullptr,
     &CkfBank::q_per_filter},
    {"R", BankField::Noise, 3, {kDimM, kDimZ, kDimZ}, true, true, &CkfBank::R, nullptr, nullptr,
     &CkfBank::r_per_filter},
    {"status", BankField::Codes, 1, {kDimM}, true, true, nullptr, &CkfBank::status},
    {"log_likelihoods", BankField::Floats, 1, {kDimM}, true, false, &CkfBank::log_likelihood},
    {"nis", BankField::Floats, 1, {kDimM}, true, false, &CkfBank::nis},
    {"jitter_counts", BankField::Counts, 1, {kDimM}, true, true, nullptr, nullptr, &CkfBank::jitter_count},
    {"pending_status", BankField::Codes, 1, {kDimM}, true, true, nullptr, &CkfBank::pending},
};

/// The field's shape in this bank; a shared noise matrix drops the leading M.
std::vector<Index> field_shape(const CkfBank& b, const BankField& f) {
  const Index extent[] = {b.count, b.dim_x, b.dim_z};
  std::vector<Index> dims;
  const bool shared = f.kind == BankField::Noise && !(b.*f.per_filter);
  for (int k = shared ? 1 : 0; k < f.ndim; ++k) dims.push_back(extent[f.dims[k]]);
  return dims;
}

const BankField& find_bank_field(const std::string& name) {
  for (const BankField& f : kBankFields) {
    if (name == f.name) return f;
  }
  fail(Error::value("unknown field name '" + name + "'"));
}

template <class T>
Ref array_of(const std::vector<T>& v, const std::vector<Index>& dims, int typenum) {
  npy_intp shape[3] = {0, 0, 0};
  int nd = 0;
  for (Index d : dims) shape[nd++] = static_cast<npy_intp>(d);
  Ref a = new_array(nd, shape, typenum);
  if (!v.empty()) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), v.data(), v.size() * sizeof(T));
  return a;
}

Ref bank_get(BankInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  const CkfBank& b = self.state.b;
  const BankField& f = find_bank_field(name);
  const std::vector<Index> dims = field_shape(b, f);
  switch (f.kind) {
    case BankField::Size:
      return new_u64(static_cast<std::uint64_t>(b.count));
    case BankField::Floats:
    case BankField::Noise:
      return array_of(b.*f.floats, dims, NPY_DOUBLE);
    case BankField::Codes:
      return array_of(b.*f.codes, dims, NPY_INT64);
    case BankField::Counts:
      return array_of(b.*f.counts, dims, NPY_UINT64);
  }
  fail(Error::panic("unknown bank field kind"));
}

/// Whole numbers in [0, limit] stored as float64, as T.
template <class T>
std::vector<T> whole_numbers(const std::vector<double>& v, const char* name, double limit) {
  std::vector<T> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] < 0.0 || v[i] > limit || v[i] != std::floor(v[i])) {
      fail(Error::value(std::string(name) + " must hold whole numbers from 0 to " + format_double(limit)));
    }
    out[i] = static_cast<T>(v[i]);
  }
  return out;
}

/// The declaration of a field's value in `set`: its shape in the bank's
/// dimensions (a noise matrix may leave out the leading M: one for all
/// filters), any other number of dimensions a shape error.
ArrayDecl field_decl(const BankField& f) {
  ArrayDecl d{f.name, f.ndim, {}, nullptr, ArrayDecl::kComma, f.finite ? "{label} must contain only finite values" : nullptr,
              f.shape};
  for (int k = 0; k < f.ndim; ++k) {
    d.axes[k] = Axis{f.dims[k], k == 0 && f.kind == BankField::Noise ? Axis::kOptional : Axis::kEqual};
  }
  d.ndim_is_shape = true;
  return d;
}

Ref bank_set(BankInstance& self, PyObject* const* args) {
  const std::string name = arg_string(args[0], "name");
  CkfBank& b = self.state.b;
  const BankField& f = find_bank_field(name);
  if (!f.settable) fail(Error::value("field '" + name + "' is read-only"));
  const ArrayDecl decl = field_decl(f);
  ArrayArgs arrays(&decl, 1, kBankDims, 3, args + 1);
  bind_bank(arrays, b);
  arrays.check_shapes();
  arrays.check_finite();
  std::vector<double> v = copied(arrays[0]);
  switch (f.kind) {
    case BankField::Size:
      break;
    case BankField::Floats:
      (b.*f.floats).swap(v);
      return none();
    case BankField::Noise:
      (b.*f.floats).swap(v);
      b.*f.per_filter = arrays.stacked(0);
      return none();
    case BankField::Codes: {
      std::vector<std::int64_t> codes =
          whole_numbers<std::int64_t>(v, f.name, static_cast<double>(kFilterStatusCount - 1));
      (b.*f.codes).swap(codes);
      return none();
    }
    case BankField::Counts: {
      std::vector<std::uint64_t> counts = whole_numbers<std::uint64_t>(v, f.name, 9007199254740992.0);
      (b.*f.counts).swap(counts);
      return none();
    }
  }
  fail(Error::panic("unknown bank field kind"));
}

/// bank_field_table(): ((name, type, shape, settable), ...) in snapshot
/// order; type "int" (a count), "array" (float64), "int64" or "uint64"
/// arrays; shape the dimension names, "M?" a leading M that a shared noise
/// matrix leaves out.
Ref bank_field_table(PyObject* const* /*args*/) {
  constexpr Py_ssize_t kRows = sizeof(kBankFields) / sizeof(kBankFields[0]);
  Ref rows = Ref::steal(PyTuple_New(kRows));
  if (!rows) fail_python();
  for (Py_ssize_t i = 0; i < kRows; ++i) {
    const BankField& f = kBankFields[i];
    Ref shape = Ref::steal(PyTuple_New(f.ndim));
    if (!shape) fail_python();
    for (int k = 0; k < f.ndim; ++k) {
      const bool optional = k == 0 && f.kind == BankField::Noise;
      const char* dim = optional ? "M?" : kBankDims[f.dims[k]].symbol;
      Ref text = text_object(dim);
      if (!text) fail_python();
      PyTuple_SetItem(shape.get(), k, text.release());
    }
    const char* type = f.kind == BankField::Size    ? "int"
                       : f.kind == BankField::Codes ? "int64"
                       : f.kind == BankField::Counts ? "uint64"
                                                     : "array";
    Ref row = Ref::steal(Py_BuildValue("(ssOO)", f.name, type, shape.get(), f.settable ? Py_True : Py_False));
    if (!row) fail_python();
    PyTuple_SetItem(rows.get(), i, row.release());
  }
  return rows;
}

/// The status texts, indexed by code.
Ref status_texts() {
  Ref texts = Ref::steal(PyTuple_New(kFilterStatusCount));
  if (!texts) fail_python();
  for (std::int64_t k = 0; k < kFilterStatusCount; ++k) {
    Ref text = text_object(kFilterStatusText[k]);
    if (!text) fail_python();
    PyTuple_SetItem(texts.get(), static_cast<Py_ssize_t>(k), text.release());
  }
  return texts;
}

Ref bank_set_dt(BankInstance& self, PyObject* const* args) {
  const double dt = arg_double(args[0], "dt");
  if (!std::isfinite(dt)) fail(Error::value("dt must be finite"));
  self.state.b.dt = dt;
  return none();
}

Ref bank_set_angles(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  std::vector<Index> states = arg_indices(args[0], "states", b.dim_x, true);
  std::vector<Index> measurements = arg_indices(args[1], "measurements", b.dim_z, true);
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
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  if (const CompiledModelState* model = compiled_model(fx)) {
    check_model_dims(*model, b.dim_x, b.dim_x);
    const ModelCall call(fx, fx_args, /*pass_dt=*/true);
    const ModelFunctionCall bound = call.bound();
    without_lock([&] { bank::predict_with(b, pool, bound, dt); });
    return none();
  }
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
  // A row of all NaN is a missed measurement: no finiteness check here.
  static constexpr ArrayDecl kZs{"zs", 2, {{kDimM}, {kDimZ}}, nullptr, ArrayDecl::kComma, nullptr, nullptr, 0, true};
  ArrayArgs arrays(&kZs, 1, kBankDims, 3, args);
  bind_bank(arrays, b);
  arrays.check_shapes();
  std::vector<double> zs = copied(arrays[0]);
  PyObject* hx_args = given(args[2]) ? arg_tuple(args[2], "hx_args") : nullptr;
  b.z.swap(zs);
  runtime::WorkerPool& pool = runtime::WorkerPool::instance();
  if (const CompiledModelState* model = compiled_model(hx)) {
    check_model_dims(*model, b.dim_x, b.dim_z);
    const ModelCall call(hx, hx_args, /*pass_dt=*/false);
    const ModelFunctionCall bound = call.bound();
    without_lock([&] { bank::update_with(b, pool, bound); });
    return none();
  }
  call_model(hx, self.state, /*pass_dt=*/false, 0.0, hx_args, b.dim_z,
             [&](double* points) { bank::draw_update_points(b, pool, points); });
  without_lock([&] {
    bank::finish_update(b, pool);
  });
  return none();
}

Ref bank_keep(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  const std::vector<Index> indices = arg_indices(args[0], "indices", b.count, true);
  bank::keep_filters(b, indices);
  return none();
}

// The arrays of add(): the new filters' means bind their number; noises
// only where the bank's are per filter.
constexpr ArrayDecl kAddArrays[] = {
    {"new_xs", 2, {{kDimNew}, {kDimX}}, nullptr, ArrayDecl::kComma, "{label} must contain only finite values",
     "{label} must have shape (k, {dim_x}), got {shape}", 0, true},
    // The Python layer broadcasts one matrix to every new filter.
    {"new_Ps", 3, {{kDimNew}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kComma, "{label} must contain only finite values",
     "{label} must have shape ({dim_x}, {dim_x}) or ({k}, {dim_x}, {dim_x}), got {shape}", 1, true},
    {"Q", 3, {{kDimNew}, {kDimX}, {kDimX}}, nullptr, ArrayDecl::kComma, "{label} must contain only finite values",
     "{label} must have shape ({dim_x}, {dim_x}) or ({k}, {dim_x}, {dim_x}), got {shape}", 2, true},
    {"R", 3, {{kDimNew}, {kDimZ}, {kDimZ}}, nullptr, ArrayDecl::kComma, "{label} must contain only finite values",
     "{label} must have shape ({dim_z}, {dim_z}) or ({k}, {dim_z}, {dim_z}), got {shape}", 3, true},
};

Ref bank_add(BankInstance& self, PyObject* const* args) {
  CkfBank& b = self.state.b;
  const Index n = b.dim_x;
  const Index m = b.dim_z;
  ArrayArgs filters(kAddArrays, 2, kBankDims, 4, args);
  bind_bank(filters, b);
  filters.check_shapes();
  const Index k = filters.dim(kDimNew);
  // Room for the new filters before their values are scanned: a huge
  // broadcast view fails fast instead of being read for hours.
  const auto total = static_cast<std::uint64_t>(b.count) + static_cast<std::uint64_t>(k);
  const auto un = static_cast<std::uint64_t>(n);
  const auto um = static_cast<std::uint64_t>(m);
  unwrap(check_storage({{total, 2 * un + 2 * un * un + um + 7}, {total, um * um}}));
  filters.check_finite();
  if (b.q_per_filter != given(args[2])) {
    fail(Error::value(b.q_per_filter ? "Q is per filter in this bank: add() needs Q of shape " + shape_text({k, n, n})
                                     : std::string("Q is shared by the bank: add() takes no Q")));
  }
  if (b.r_per_filter != given(args[3])) {
    fail(Error::value(b.r_per_filter ? "R is per filter in this bank: add() needs R of shape " + shape_text({k, m, m})
                                     : std::string("R is shared by the bank: add() takes no R")));
  }
  // The noises given, Q before R.
  const ArrayDecl* noise = b.q_per_filter ? kAddArrays + 2 : kAddArrays + 3;
  const int noises = (b.q_per_filter ? 1 : 0) + (b.r_per_filter ? 1 : 0);
  ArrayArgs own(noise, noises, kBankDims, 4, args);
  bind_bank(own, b);
  own.bind(kDimNew, k);
  own.check_shapes();
  own.check_finite();
  const std::vector<double> xs = copied(filters[0]);
  const std::vector<double> ps = copied(filters[1]);
  std::vector<double> qs;
  std::vector<double> rs;
  if (b.q_per_filter) qs = copied(own[0]);
  if (b.r_per_filter) rs = copied(own[noises - 1]);
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
     signature_doc(kGet, "The number of filters (count) or a fresh copy of one field: xs, Ps, xs_prior, Ps_prior, Q, R, status,\n"
     "log_likelihoods, nis, jitter_counts or pending_status.", true)},
    {"set", Methods::kw<kWrite, kSet, bank_set>(), kKw,
     signature_doc(kSet, "Overwrite one field (float64 arrays of the field's shape; Q and R\n"
     "(k, k) for all filters or (M, k, k) per filter; states and noises finite).", true)},
    {"set_dt", Methods::kw<kWrite, kSetDt, bank_set_dt>(), kKw, signature_doc(kSetDt, "Default time step.", true)},
    {"set_angles", Methods::kw<kWrite, kSetAngles, bank_set_angles>(), kKw,
     signature_doc(kSetAngles, "Indices (lists of int) of the angle components of x and z.", true)},
    {"predict", Methods::kw<kWrite, kPredict, bank_predict>(), kKw,
     signature_doc(kPredict, "Predict every filter with one call fx(X, dt, *fx_args) over\n"
     "all M*2n points, filter i in rows 2n*i to 2n*(i+1)-1.", true)},
    {"update", Methods::kw<kWrite, kUpdate, bank_update>(), kKw,
     signature_doc(kUpdate, "Update every filter with its row of zs (M, dim_z) and one call\n"
     "hx(X, *hx_args) over all points; a row of all NaN is no measurement.", true)},
    {"keep", Methods::kw<kWrite, kKeep, bank_keep>(), kKw,
     signature_doc(kKeep, "Keep the filters at the given distinct indices (a list), in that order.", true)},
    {"add", Methods::kw<kWrite, kAdd, bank_add>(), kKw,
     signature_doc(kAdd, "Append filters; Q and R only where the bank's noise is per filter.", true)},
    {"copy", Methods::noargs<kRead, bank_copy>(), METH_NOARGS, signature_doc(kCopy, "Independent copy of the bank.", true)},
    {nullptr, nullptr, 0, nullptr},
};

const char* const kDoc = signature_doc(kNew, ""
    "A bank of covariance-form cubature filters stepped together, one model\n"
    "callback call per step for the whole bank.", false);

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&bank_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<BankObject>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeDefinition{"CkfBank", static_cast<int>(sizeof(BankInstance)), 0, Py_TPFLAGS_DEFAULT, kSlots};

constexpr Params kBankFieldTable{"bank_field_table()", 0, 0, {}};

PyMethodDef kFunctions[] = {
    {"bank_field_table", as_cfunction(&function_entry<kBankFieldTable, bank_field_table>), kKwFlags,
     signature_doc(kBankFieldTable, ""
     "The fields of CkfBank: rows (name, type, shape, settable) in snapshot order.\n"
     "type is 'int' (a count), 'array' (float64), 'int64' or 'uint64'; shape is a\n"
     "tuple of dimension names ('M', 'dim_x', 'dim_z'), where 'M?' is a leading M\n"
     "that a noise matrix shared by every filter leaves out.", false)},
};

}  // namespace

void add_bank(PyObject* module) {
  if (g_bank_class.type == nullptr) {
    // The reference is kept for the life of the process.
    g_bank_class.type =
        reinterpret_cast<PyTypeObject*>(new_final_class(&kTypeDefinition, "vexel_ckf._engine").release());
  }
  add_export(module, "CkfBank", Ref::borrow(reinterpret_cast<PyObject*>(g_bank_class.type)));
  for (PyMethodDef& def : kFunctions) add_export(module, def.ml_name, new_module_function(&def, module));
  // The meaning of each status code, indexed by the code.
  add_export(module, "status_texts", status_texts());
}

}  // namespace vexel::py
