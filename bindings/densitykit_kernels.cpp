// NumPy's own float64 exp and log loops, installed as the core's vector
// kernels so that every exp/log of the toolkit gives exactly what np.exp and
// np.log give on this machine (NumPy picks SIMD kernels at run time whose
// results can differ from the C library in the last bit).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstring>

#include "vordex/core/numeric.hpp"

namespace vx {

namespace {
PyUFuncGenericFunction g_exp = nullptr, g_log = nullptr;
void* g_exp_data = nullptr;
void* g_log_data = nullptr;

void run_loop(PyUFuncGenericFunction f, void* data, const double* in, double* out, std::size_t n) {
    char* args[2] = {const_cast<char*>(reinterpret_cast<const char*>(in)), reinterpret_cast<char*>(out)};
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    npy_intp steps[2] = {sizeof(double), sizeof(double)};
    f(args, dims, steps, data);
}
void exp_kernel(const double* in, double* out, std::size_t n) { run_loop(g_exp, g_exp_data, in, out, n); }
void log_kernel(const double* in, double* out, std::size_t n) { run_loop(g_log, g_log_data, in, out, n); }

bool find_dd_loop(PyObject* ufunc, PyUFuncGenericFunction& fn, void*& data) {
    if (!ufunc || std::strcmp(Py_TYPE(ufunc)->tp_name, "numpy.ufunc") != 0) return false;
    auto* u = reinterpret_cast<PyUFuncObject*>(ufunc);
    if (u->nin != 1 || u->nout != 1 || !u->types || !u->functions) return false;
    for (int i = 0; i < u->ntypes; ++i) {
        if (u->types[2 * i] == NPY_DOUBLE && u->types[2 * i + 1] == NPY_DOUBLE) {
            fn = u->functions[i];
            data = u->data ? u->data[i] : nullptr;
            return fn != nullptr;
        }
    }
    return false;
}
}  // namespace

// Returns true when both loops were found and installed.
bool install_numpy_kernels_from(PyObject* np_exp, PyObject* np_log) {
    PyUFuncGenericFunction fe = nullptr, fl = nullptr;
    void *de = nullptr, *dl = nullptr;
    if (!find_dd_loop(np_exp, fe, de) || !find_dd_loop(np_log, fl, dl)) return false;
    g_exp = fe;
    g_exp_data = de;
    g_log = fl;
    g_log_data = dl;
    vordex::set_vector_kernels(exp_kernel, log_kernel);
    return true;
}

}  // namespace vx
