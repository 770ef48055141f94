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
// A singular linear system (the Python layer raises numpy.linalg.LinAlgError,
// as the linear-algebra routines of NumPy and SciPy do).
struct LinAlgError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace vordex
