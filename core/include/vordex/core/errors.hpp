// Error types raised by the core; the Python layer maps each to the
// interpreter's exception of the same name.
#pragma once
#include <stdexcept>
#include <string>

namespace vordex {

struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct IndexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A singular linear system: a kind of invalid input to C++ callers (caught
// with ValueError), raised in Python as numpy.linalg.LinAlgError, as the
// linear-algebra routines of NumPy and SciPy raise it.
struct LinAlgError : ValueError {
    using ValueError::ValueError;
};

}  // namespace vordex
