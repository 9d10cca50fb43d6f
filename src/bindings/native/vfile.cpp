// The payload chunks of velora files, version 2 (AES-256-GCM). The package
// builds and parses the header; these functions seal and open chunks.
#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/vfile/keys.hpp"
#include "core/vfile/payload.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kMaxCounter = std::uint64_t{1} << 62;  // far beyond any file; the nonce holds 88 bits

struct VfileArgs {
    Bytes key;
    std::uint64_t chunk_size = 0;
    std::uint64_t counter = 0;
    BufferArg data;
    bool final = false;
    BufferArg out;
    bool has_out = false;
};

bool parse_vfile_args(const char* fn, bool out_required, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, VfileArgs& c) {
    static const char* const names[] = {"key", "chunk_size", "counter", "data", "final", "out"};
    PyObject* a[6];
    if (!parse_args({fn, names, out_required ? 6u : 5u}, args, nargs, kwnames, a) ||
        !arg_bytes(a[0], "key", &c.key) || !arg_uint(a[1], "chunk_size", vfile::kMaxChunkBytes, &c.chunk_size) ||
        !arg_uint(a[2], "counter", kMaxCounter, &c.counter) || !c.data.get(a[3], "data", false)) {
        return false;
    }
    if (!PyBool_Check(a[4])) return raise_type_error(a[4], "bool", "final");
    c.final = a[4] == Py_True;
    c.has_out = a[5] != nullptr && a[5] != Py_None;
    if (c.has_out && !c.out.get(a[5], "out", true)) return false;
    if (c.key.size() != vfile::kKeyBytes) {
        set_error(invalid_parameter_error_type(), "velora file: payload key must be 32 bytes");
        return false;
    }
    if (c.chunk_size < vfile::kMinChunkBytes) {
        set_error(invalid_parameter_error_type(), vfile::kChunkSize);
        return false;
    }
    return true;
}

PyObject* vfile_seal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        VfileArgs c;
        if (!parse_vfile_args("vfile_seal_chunks", false, args, nargs, kwnames, c)) return nullptr;
        const Bytes data = c.data.bytes();
        const std::size_t n = vfile::sealed_size(c.chunk_size, data.size(), c.final);
        auto seal = [&](std::span<std::uint8_t> out) {
            return vfile::seal_chunks(c.key.first<vfile::kKeyBytes>(), c.chunk_size, c.counter, data, c.final, out);
        };
        if (!c.has_out) return bytes_written_without_gil(n, seal);
        if (c.out.writable().size() < n) return set_error(invalid_parameter_error_type(), vfile::kOutputSize);
        auto r = without_gil([&] { return seal(c.out.writable().first(n)); });
        if (!r) return core_error_to_pyerr(r.error());
        return PyLong_FromSize_t(n);
    });
}

PyObject* vfile_open_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        VfileArgs c;
        if (!parse_vfile_args("vfile_open_chunks", true, args, nargs, kwnames, c)) return nullptr;
        if (!c.has_out) return set_error(invalid_parameter_error_type(), vfile::kOutputSize);
        const Bytes data = c.data.bytes();
        auto r = without_gil([&] {
            return vfile::open_chunks(c.key.first<vfile::kKeyBytes>(), c.chunk_size, c.counter, data, c.final,
                                      c.out.writable());
        });
        if (!r) return core_error_to_pyerr(r.error());
        PyRef written(PyLong_FromSize_t(r->written));
        if (!written) return nullptr;
        return PyTuple_Pack(3, written.get(), r->finished ? Py_True : Py_False, r->ok ? Py_True : Py_False);
    });
}

// fn(a, b, c) over three byte strings, its Result turned into bytes (or None for no match).
template <std::size_t N, class Call>
PyObject* bytes_call(const char* fn, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Call&& call) {
    PyObject* a[N];
    Bytes b[N];
    if (!parse_args({fn, names, N}, args, nargs, kwnames, a)) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        if (!arg_bytes(a[i], names[i], &b[i])) return nullptr;
    }
    return call(b);
}

PyObject* vfile_derive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ikm", "salt", "info"};
        return bytes_call("vfile_derive", names, args, nargs, kwnames, [](Bytes* b) {
            return result_or_raise(vfile::derive(b[0], b[1], b[2]), [](vfile::Key32& k) { return to_bytes(k); });
        });
    });
}

PyObject* vfile_mac(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"key", "message"};
        return bytes_call("vfile_mac", names, args, nargs, kwnames, [](Bytes* b) {
            auto r = without_gil([&] { return vfile::mac(b[0], b[1]); });
            return result_or_raise(std::move(r), [](vfile::Key32& k) { return to_bytes(k); });
        });
    });
}

PyObject* vfile_wrap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"wrap_key", "aad", "file_key"};
        return bytes_call("vfile_wrap", names, args, nargs, kwnames, [](Bytes* b) {
            return result_or_raise(vfile::wrap(b[0], b[1], b[2]),
                                   [](std::array<std::uint8_t, vfile::kWrappedBytes>& w) { return to_bytes(w); });
        });
    });
}

PyObject* vfile_unwrap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"wrap_key", "aad", "wrapped"};
        return bytes_call("vfile_unwrap", names, args, nargs, kwnames, [](Bytes* b) {
            return result_or_raise(vfile::unwrap(b[0], b[1], b[2]), [](vfile::Unwrapped& u) -> PyObject* {
                if (!u.matched) Py_RETURN_NONE;
                return to_bytes(u.file_key);
            });
        });
    });
}

PyMethodDef kVfileMethods[] = {
    {"vfile_derive", VELORA_FASTCALL(vfile_derive), METH_FASTCALL | METH_KEYWORDS,
     "vfile_derive(ikm, salt, info)\n--\n\nHKDF-SHA-256, 32 bytes (an empty salt: 32 zero bytes)."},
    {"vfile_mac", VELORA_FASTCALL(vfile_mac), METH_FASTCALL | METH_KEYWORDS,
     "vfile_mac(key, message)\n--\n\nHMAC-SHA-256."},
    {"vfile_wrap", VELORA_FASTCALL(vfile_wrap), METH_FASTCALL | METH_KEYWORDS,
     "vfile_wrap(wrap_key, aad, file_key)\n--\n\nAES-256-GCM of the 32-byte file key under a zero nonce: 48 bytes."},
    {"vfile_unwrap", VELORA_FASTCALL(vfile_unwrap), METH_FASTCALL | METH_KEYWORDS,
     "vfile_unwrap(wrap_key, aad, wrapped)\n--\n\nThe file key, or None when the wrapped key does not open."},
    {"vfile_seal_chunks", VELORA_FASTCALL(vfile_seal_chunks), METH_FASTCALL | METH_KEYWORDS,
     "vfile_seal_chunks(key, chunk_size, counter, data, final, out=None)\n--\n\n"
     "Seals data as version 2 payload chunks into out (the byte count), or into a new bytes object."},
    {"vfile_open_chunks", VELORA_FASTCALL(vfile_open_chunks), METH_FASTCALL | METH_KEYWORDS,
     "vfile_open_chunks(key, chunk_size, counter, data, at_end, out)\n--\n\n"
     "Opens version 2 payload chunks into out: (plaintext bytes written, last chunk opened, payload good so far)."},
};

}  // namespace

constinit const FunctionTable kVfileFunctions{kVfileMethods};

}  // namespace velora::bindings
