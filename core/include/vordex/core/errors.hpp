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

}  // namespace vordex
