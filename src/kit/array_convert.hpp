// Copying accepted arrays into owned values: DVector/DMatrix with the shape
// and contiguity checks and their messages, C-ordered buffers, and strided
// views for the batch kernels.  After a conversion no NumPy memory is
// referenced (except through a view, which lives no longer than its ArrayIn).
#pragma once

#include "array_accept.hpp"

#include "../batch/strided.hpp"
#include "../kernels/linalg.hpp"

#include <string>

namespace vexel::py {

/// Copy an accepted 1-D array of length n (length, then contiguity checks).
DVector pyarray1_to_dvector(const ArrayIn& a, Index n, const std::string& name);
/// Copy an accepted 2-D array of shape (r, c); any memory layout.
DMatrix pyarray2_to_dmatrix(const ArrayIn& a, Index r, Index c, const std::string& name);

/// Accept (no argument prefix), then copy.
DVector extract_vector(PyObject* obj, Index n, const std::string& name);
DMatrix extract_matrix(PyObject* obj, Index r, Index c, const std::string& name);
/// Accept, copy, then require finite values.
DVector finite_vector(PyObject* obj, Index n, const std::string& name);
DMatrix finite_matrix(PyObject* obj, Index r, Index c, const std::string& name);

/// Copies a 1-D, 2-D or 3-D array into a C-ordered buffer, any strides.
void copy_c_order(const ArrayIn& a, double* out);

/// The strided view of an accepted array that the batch kernels read.
batch::StridedArray view_of(const ArrayIn& a);

}  // namespace vexel::py
