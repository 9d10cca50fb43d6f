// X-Wing: public key of a seed, encapsulation (random and derandomized) and
// decapsulation.
#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/xwing/xwing.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

PyObject* encapsulation_pair(xwing::Encapsulation& e) { return bytes_pair(e.ciphertext, e.shared_secret); }

PyObject* xwing_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"seed"};
        PyObject* a[1];
        Bytes seed;
        if (!parse_args({"xwing_public_key", names, 1}, args, nargs, kwnames, a) || !arg_bytes(a[0], "seed", &seed)) {
            return nullptr;
        }
        auto pk = without_gil([&] { return xwing::public_key(seed); });
        return result_or_raise(std::move(pk), to_bytes);
    });
}

PyObject* xwing_encapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key"};
        PyObject* a[1];
        Bytes pk;
        if (!parse_args({"xwing_encapsulate", names, 1}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "public_key", &pk)) {
            return nullptr;
        }
        auto r = without_gil([&] { return xwing::encapsulate(pk); });
        return result_or_raise(std::move(r), encapsulation_pair);
    });
}

PyObject* xwing_encapsulate_derand(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "eseed"};
        PyObject* a[2];
        Bytes pk, eseed;
        if (!parse_args({"xwing_encapsulate_derand", names, 2}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "public_key", &pk) || !arg_bytes(a[1], "eseed", &eseed)) {
            return nullptr;
        }
        auto r = without_gil([&] { return xwing::encapsulate_derand(pk, eseed); });
        return result_or_raise(std::move(r), encapsulation_pair);
    });
}

PyObject* xwing_decapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ciphertext", "seed"};
        PyObject* a[2];
        Bytes ct, seed;
        if (!parse_args({"xwing_decapsulate", names, 2}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "ciphertext", &ct) || !arg_bytes(a[1], "seed", &seed)) {
            return nullptr;
        }
        auto r = without_gil([&] { return xwing::decapsulate(ct, seed); });
        return result_or_raise(std::move(r), [](xwing::SharedSecret& k) { return to_bytes(k); });
    });
}

PyMethodDef kXWingMethods[] = {
    {"xwing_public_key", VELORA_FASTCALL(xwing_public_key), METH_FASTCALL | METH_KEYWORDS,
     "xwing_public_key(seed)\n--\n\nThe 1216-byte X-Wing public key of a 32-byte private key (seed)."},
    {"xwing_encapsulate", VELORA_FASTCALL(xwing_encapsulate), METH_FASTCALL | METH_KEYWORDS,
     "xwing_encapsulate(public_key)\n--\n\n(ciphertext, shared_secret): 1120 and 32 bytes."},
    {"xwing_encapsulate_derand", VELORA_FASTCALL(xwing_encapsulate_derand), METH_FASTCALL | METH_KEYWORDS,
     "xwing_encapsulate_derand(public_key, eseed)\n--\n\nEncapsulation with the 64-byte randomness given (tests only)."},
    {"xwing_decapsulate", VELORA_FASTCALL(xwing_decapsulate), METH_FASTCALL | METH_KEYWORDS,
     "xwing_decapsulate(ciphertext, seed)\n--\n\nThe 32-byte shared secret."},
};

}  // namespace

constinit const FunctionTable kXWingFunctions{kXWingMethods};

}  // namespace velora::bindings
