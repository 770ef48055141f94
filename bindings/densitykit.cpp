// vordex.pure.densitykit: module definition.
#include "common.hpp"

namespace vx {
namespace {
py::object impl_probe(const Call& c) { return py::reinterpret_borrow<py::object>(c[0]); }
}  // namespace
}  // namespace vx

PYBIND11_MODULE(densitykit, m) {
    using namespace vx;
    add_function(m, FnDef{"_probe", nullptr, "probe", {"a", "b"}, nullptr, "kw", {{"a", "int"}, {"return", "int"}}, impl_probe},
                 py::make_tuple(2));
}
