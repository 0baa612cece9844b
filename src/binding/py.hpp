#pragma once

// The only place that sees the interpreter. Everything below src/binding works on plain data.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelvara::py {

// Thrown when a Python exception is already set; the entry wrapper turns it into a NULL return.
struct ErrorSet {};

// An owned reference, released on every path.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes ownership of a new reference returned by the C API; NULL means an exception is set.
    static Ref check(PyObject* p) {
        if (p == nullptr) throw ErrorSet{};
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime and re-takes it on every exit, exceptions included.
class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

    // Runs f with the lock held again, from the thread that released it.
    template <class F>
    auto locked(F&& f) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return f();
    }

private:
    PyThreadState* state_;
};

[[noreturn]] void raise(PyObject* type, const std::string& message);

// "'{}' object cannot be converted to '{}'" for `obj`'s type.
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// A function's parameter list; required parameters come first.
struct Signature {
    const char* name;
    std::vector<const char*> params;
    std::size_t required;
};

// Borrowed argument per parameter, nullptr where omitted; raises the binding TypeErrors.
std::vector<PyObject*> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs);

// Replaces a pending exception that is exactly a TypeError by "argument '<name>': <message>", keeping
// its cause; any other exception stays as it is.
void prefix_type_error(const char* name);

// Runs one parameter's conversion under that rule.
template <class F>
auto convert_argument(const char* name, F&& convert) {
    try {
        return convert();
    } catch (const ErrorSet&) {
        prefix_type_error(name);
        throw;
    }
}

PyObject* as_dict(PyObject* obj);
double as_double(PyObject* obj);
std::int64_t as_i64(PyObject* obj);
std::uint64_t as_u64(PyObject* obj);
bool as_bool(PyObject* obj);
std::vector<std::uint64_t> as_positions(PyObject* obj);
std::string as_utf8(PyObject* obj);  // str only, "PyString" otherwise
// The text of a str of at most `capacity` (<= 64) characters, all ASCII, written to `out`: its length, or
// -1 when the str is longer or holds other characters.
Py_ssize_t short_ascii(PyObject* str, char* out, std::size_t capacity);

Ref new_str(const std::string& text);
Ref new_int(std::uint64_t value);

// A new tuple that takes over the items.
template <class... Items>
Ref new_tuple(Items&&... items) {
    Ref out = Ref::check(PyTuple_New(sizeof...(items)));
    Py_ssize_t i = 0;
    (PyTuple_SetItem(out.get(), i++, items.release()), ...);
    return out;
}

// A dict about to take many str keys. CPython keeps each entry's hash in the dict only once it holds a
// key that is no exact str; otherwise every resize reads each hash back from its str, a cache miss apiece
// among millions of keys. So it starts with one such key, None, and finish() takes that out again: the
// caller gets the same entries in the same order.
class BulkDict {
public:
    BulkDict() : dict_(Ref::check(PyDict_New())) {
        if (PyDict_SetItem(dict_.get(), Py_None, Py_None) < 0) throw ErrorSet{};
    }
    PyObject* get() const { return dict_.get(); }
    // The entries but the placeholder.
    std::size_t size() const { return static_cast<std::size_t>(PyDict_Size(dict_.get())) - 1; }
    Ref finish() {
        if (PyDict_DelItem(dict_.get(), Py_None) < 0) throw ErrorSet{};
        return std::move(dict_);
    }

private:
    Ref dict_;
};

// {strs[k]: strs[assignment[k]]} inserted for k = 0, 1, ...
inline Ref mapping_of_strs(const std::vector<std::size_t>& assignment, const std::vector<Ref>& strs) {
    BulkDict dict;
    for (std::size_t k = 0; k < strs.size(); ++k)
        if (PyDict_SetItem(dict.get(), strs[k].get(), strs[assignment[k]].get()) < 0) throw ErrorSet{};
    return dict.finish();
}

}  // namespace kelvara::py
