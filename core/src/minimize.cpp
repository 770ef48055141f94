// Out-of-line pieces of the interval minimisers (vordex/core/minimize.hpp).
#include "vordex/core/minimize.hpp"

namespace vordex::minimize_detail {

void raise_value_error(const char* message) { throw ValueError(message); }

}  // namespace vordex::minimize_detail
