// Random draws, numerical derivatives and transformed marginals.
#include "densitykit_impl.hpp"

namespace vx {
void register_sampling(py::module_&) {}
void register_transform_alias(py::module_&) {}
}  // namespace vx
