// Helpers shared by the core's C++ tests.
#pragma once
#include <functional>
#include <string>

#include "vordex/core/errors.hpp"

namespace vordex_test {

// The message of the ValueError that f throws; empty when it throws none.
inline std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const vordex::ValueError& e) {
        return e.what();
    }
    return "";
}

}  // namespace vordex_test
