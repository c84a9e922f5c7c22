// Models on cubature points: the one way the filters, the bank and the
// smoother evaluate fx and hx.  A model sees a block of points, one per row,
// and gives one image row per point; a Python callable sees them all in one
// call, as a NumPy array.
#pragma once

#include "array_accept.hpp"
#include "errors.hpp"
#include "python_api.hpp"

#include "../kernels/linalg.hpp"

namespace vexel::py {

/// fx (with the step's dt) or hx as the engine calls it, on a block of
/// points.  A Python callable is one kind (PythonModel); a compiled function
/// is another kind behind the same two calls.
class PointModel {
 public:
  virtual ~PointModel() = default;
  /// The buffer for the next evaluation's points, rows x dim_in in C order;
  /// it is the caller's to fill until `evaluate`.
  virtual double* points(Index rows, Index dim_in) = 0;
  /// The model on those points: their images, rows x dim_out, written in C
  /// order to `images` (non-finite values as they came).  Fails with the
  /// model's own error or that of a wrong output (accept_model_output).
  virtual void evaluate(double dt, Index dim_out, double* images) = 0;
  /// The same into a matrix (column-major, as the kernels keep them).
  virtual void evaluate(double dt, Index dim_out, DMatrix& images) = 0;
};

/// A Python callable as a PointModel: fx(points, dt, *extra_args) or
/// hx(points, *extra_args), called once per evaluation with all points as a
/// fresh C-ordered float64 array, or the array of an earlier call kept in
/// `cache` when nothing else holds it any more (a new multi-megabyte array
/// per step would cost its page faults every step).
class PythonModel final : public PointModel {
 public:
  PythonModel(PyObject* callable, PyObject* extra_args, bool pass_dt, Ref* cache = nullptr)
      : callable_(callable), extra_args_(extra_args), pass_dt_(pass_dt), cache_(cache) {}
  double* points(Index rows, Index dim_in) override;
  void evaluate(double dt, Index dim_out, double* images) override;
  void evaluate(double dt, Index dim_out, DMatrix& images) override;

 private:
  /// The call on the points array; its output accepted (the array holds
  /// its own reference).
  ArrayIn call(double dt, Index dim_out);

  PyObject* callable_;
  PyObject* extra_args_;
  bool pass_dt_;
  Ref* cache_;
  Ref points_;
  Index rows_ = 0;
};

/// `model` on the point set X (one point per row): the images as a matrix,
/// checked finite row by row with `check_finite` (the non-finite-row
/// ValueError of fx or hx, as `pass_dt` says).
DMatrix evaluate_points(PointModel& model, const DMatrix& X, double dt, Index dim_out, bool pass_dt,
                        bool check_finite = true);
/// The same into `out` (its storage reused when it has the size already).
void evaluate_points(PointModel& model, const DMatrix& X, double dt, Index dim_out, bool pass_dt, DMatrix& out,
                     bool check_finite = true);

/// The second half of evaluate_points, for points the caller drew straight
/// into `model.points(...)`: the images into `out`, checked finite.
void evaluate_drawn(PointModel& model, double dt, Index dim_out, bool pass_dt, DMatrix& out,
                    bool check_finite = true);

/// The one call of a user's Python model: fx(points, dt, *extra_args)
/// (pass_dt) or hx(points, *extra_args), `points` handed over to the
/// argument tuple and `extra_args` a tuple or nullptr.  The callback may
/// run any Python code, so it is called through `interpreter_call`: a
/// daemon thread that the interpreter ends inside it at shutdown leaves the
/// references on its stack alone.  Fails with the callback's own exception.
Ref call_python_model(PyObject* callable, Ref points, bool pass_dt, double dt, PyObject* extra_args);

/// A model's output as a float64 array of shape (rows, columns),
/// read-borrowed.  Its errors (not an array, wrong number of dimensions,
/// wrong dtype, "model output must have shape (rows, columns), got (a, b)")
/// carry the callback ("fx" with pass_dt, else "hx") and the expected shape
/// as their detail, for the Python layer's advice.
ArrayIn accept_model_output(PyObject* result, bool pass_dt, Index rows, Index columns);

/// First row in [begin, end) of a model output holding a NaN or infinity;
/// end when there is none.
Index first_non_finite_row(const DMatrix& out, Index begin, Index end);

/// The ValueError for a non-finite model output row (numbered within its
/// point set).
Error non_finite_model_output(bool pass_dt, Index row);

}  // namespace vexel::py
