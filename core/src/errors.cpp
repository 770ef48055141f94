// Core library translation unit for shared definitions.
#include "vordex/core/errors.hpp"
