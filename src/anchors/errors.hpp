#pragma once

#include <stdexcept>
#include <string>

namespace kelvara {

// A caller's input breaks a rule; the binding raises it as ValueError.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Something the caller cannot fix (a pool that cannot start, a dict changed under us);
// the binding raises it as kelvara._core.InternalError.
struct InternalFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace kelvara
