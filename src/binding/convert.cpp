#include <algorithm>
#include <string_view>

#include "binding/py.hpp"

namespace kelvara::py {

Py_ssize_t short_ascii(PyObject* str, char* out, std::size_t capacity) {
    constexpr std::size_t kMost = 64;
    const Py_ssize_t n = PyUnicode_GetLength(str);
    if (n < 0) throw ErrorSet{};
    if (static_cast<std::size_t>(n) > std::min(capacity, kMost)) return -1;
    Py_UCS4 chars[kMost];
    if (n > 0 && PyUnicode_AsUCS4(str, chars, static_cast<Py_ssize_t>(kMost), 0) == nullptr) throw ErrorSet{};
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (chars[i] >= 0x80) return -1;
        out[i] = static_cast<char>(chars[i]);
    }
    return n;
}

namespace {

std::string text_of(PyObject* str) {
    // Short ASCII text, which anchors are, is copied out directly rather than through a bytes object.
    char chars[32];
    const Py_ssize_t n = short_ascii(str, chars, sizeof chars);
    if (n >= 0) return std::string(chars, static_cast<std::size_t>(n));
    Ref bytes = Ref::check(PyUnicode_AsUTF8String(str));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string type_attr(PyObject* obj, const char* attr) {
    Ref value = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr));
    if (!PyUnicode_Check(value.get())) return "?";
    return text_of(value.get());
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out.append(1, '\'').append(names[i]).append(1, '\'');
    }
    return out;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorSet{};
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, "'" + type_attr(obj, "__qualname__") + "' object cannot be converted to '" + target + "'");
}

std::vector<PyObject*> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs) {
    const std::string full = std::string(sig.name) + "()";
    const std::size_t total = sig.params.size();
    const auto given = static_cast<std::size_t>(PyTuple_Size(args));
    if (given > total) {
        raise(PyExc_TypeError, full + " takes from " + std::to_string(sig.required) + " to " + std::to_string(total) +
                                   " positional arguments but " + std::to_string(given) +
                                   (given == 1 ? " was" : " were") + " given");
    }
    std::vector<PyObject*> bound(total, nullptr);
    for (std::size_t i = 0; i < given; ++i) bound[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t slot = total;
            for (std::size_t i = 0; i < total && slot == total; ++i)
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) slot = i;
            if (slot == total)
                raise(PyExc_TypeError, full + " got an unexpected keyword argument '" + text_of(key) + "'");
            if (bound[slot] != nullptr)
                raise(PyExc_TypeError, full + " got multiple values for argument '" + text_of(key) + "'");
            bound[slot] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (bound[i] == nullptr) missing.push_back(sig.params[i]);
    if (!missing.empty()) {
        raise(PyExc_TypeError, full + " missing " + std::to_string(missing.size()) + " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    }
    return bound;
}

void prefix_type_error(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, trace);
        return;
    }
    PyErr_NormalizeException(&type, &value, &trace);
    Ref old_type = Ref::steal(type), old = Ref::steal(value), old_trace = Ref::steal(trace);
    Ref message = Ref::steal(PyObject_Str(old.get()));
    Ref prefixed = message ? Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get())) : Ref();
    Ref replacement =
        prefixed ? Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, prefixed.get(), nullptr)) : Ref();
    if (!replacement) return;  // the failure to build it is the exception now
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyObject* as_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) raise_cannot_convert(obj, "PyDict");
    return obj;
}

double as_double(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    return v;
}

std::int64_t as_i64(PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw ErrorSet{};
    return v;
}

std::uint64_t as_u64(PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
    return v;
}

bool as_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    const std::string name = type_attr(obj, "__name__");
    if (type_attr(obj, "__module__") == "numpy" && (name == "bool_" || name == "bool")) {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        if (!PyObject_HasAttrString(type, "__bool__"))
            raise(PyExc_TypeError,
                  "object of type '" + type_attr(obj, "__qualname__") + "' does not define a '__bool__' conversion");
        Ref method = Ref::check(PyObject_GetAttrString(type, "__bool__"));
        Ref result = Ref::check(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
        if (result.get() == Py_True) return true;
        if (result.get() == Py_False) return false;
        raise_cannot_convert(result.get(), "PyBool");
    }
    raise_cannot_convert(obj, "PyBool");
}

std::vector<std::uint64_t> as_positions(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    std::vector<std::uint64_t> out;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(hint));
    }
    Ref iter = Ref::check(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(as_u64(item.get()));
    if (PyErr_Occurred()) throw ErrorSet{};
    return out;
}

std::string as_utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    return text_of(obj);
}

Ref new_str(const std::string& text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_int(std::uint64_t value) {
    return Ref::check(PyLong_FromUnsignedLongLong(value));
}

}  // namespace kelvara::py
