// Argument helpers of the native protocol bindings.
#include "bindings/native/args.hpp"

namespace velora::bindings {

bool arg_uint(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t* out) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) return raise_type_error(obj, "int", name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || static_cast<std::uint64_t>(v) > max) {
        PyErr_Format(PyExc_ValueError, "'%s' must be an int from 0 to %llu", name, static_cast<unsigned long long>(max));
        return false;
    }
    *out = static_cast<std::uint64_t>(v);
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

PyObject* raise_core_error(const VeloraError& err, const char* decryption_message) {
    if (err.kind == VeloraError::Kind::Decryption) return set_error(decryption_error_type(), decryption_message);
    return core_error_to_pyerr(err);
}

}  // namespace velora::bindings
