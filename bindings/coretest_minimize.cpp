#include "coretest.hpp"
namespace vx::coretest {
void register_minimize(py::module_&) {}
}  // namespace vx::coretest
