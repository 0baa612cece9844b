#include "binding/entries.hpp"

namespace kelvara::py {

bool CallHook::operator()(const Monitor::Report& r) const {
    auto body = [&] {
        // A handler that does not raise lets the call go on.
        if (PyErr_CheckSignals() < 0) return false;
        if (progress == nullptr || progress == Py_None) return true;
        Ref result = Ref::steal(
            PyObject_CallFunction(progress, "sKKK", r.stage, static_cast<unsigned long long>(r.pass),
                                  static_cast<unsigned long long>(r.done), static_cast<unsigned long long>(r.total)));
        return static_cast<bool>(result);
    };
    return unlocked != nullptr ? unlocked->locked(body) : body();
}

}  // namespace kelvara::py
