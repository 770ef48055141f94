// HPD intervals, the mode and the printed summary.
#include "densitykit_impl.hpp"

namespace vx {
void register_hpd(py::module_&) {}
void register_summary(py::module_&) {}
}  // namespace vx
