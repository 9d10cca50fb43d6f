// Argument helpers of the native protocol bindings.
#include "bindings/native/args.hpp"

namespace velora::bindings {

bool arg_uint(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t* out, PyObject* (*range_error)()) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) return raise_type_error(obj, "int", name);
    // OverflowError for a negative value or one above 2^64 - 1: both out of range.
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    const bool overflow = v == static_cast<unsigned long long>(-1) && PyErr_Occurred();
    if (overflow) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    if (overflow || v > max) {
        PyObject* type = range_error != nullptr ? range_error() : PyExc_ValueError;
        if (type == nullptr) return false;
        PyErr_Format(type, "'%s' must be an int from 0 to %llu", name, static_cast<unsigned long long>(max));
        return false;
    }
    *out = v;
    return true;
}

bool arg_optional_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out) {
    if (obj == nullptr || obj == Py_None) {
        *out = {};
        return true;
    }
    return arg_bytes(obj, name, out);
}

bool BufferArg::get(PyObject* obj, const char* name, bool writable) {
    if (PyUnicode_Check(obj) || PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        return raise_type_error(obj, writable ? "writable bytes-like object" : "bytes-like object", name);
    }
    held_ = true;
    return true;
}

PyObject* bytes_pair(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    PyRef x(to_bytes(a));
    PyRef y(to_bytes(b));
    if (!x || !y) return nullptr;
    return PyTuple_Pack(2, x.get(), y.get());
}

PyObject* raise_core_error(const VeloraError& err, std::string_view decryption_message) {
    if (err.kind == VeloraError::Kind::Decryption) return set_error(decryption_error_type(), decryption_message);
    return core_error_to_pyerr(err);
}

}  // namespace velora::bindings
