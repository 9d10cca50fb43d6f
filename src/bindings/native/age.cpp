// age v1: stanza bodies, header MAC and the STREAM payload. The package
// parses the header text; these functions do the cryptography.
#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/age/age.hpp"
#include "primitives/x25519.hpp"

#include <thread>

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kMaxCounter = (std::uint64_t{1} << 62);  // far beyond any file; the nonce holds 88 bits

constexpr std::uint64_t kMaxThreads = 64;

// Threads for a batch of chunks: two or more cores share a batch of at least
// eight chunks (512 KiB); smaller batches stay on the calling thread. A caller
// that spreads its batches over threads of its own asks for one.
unsigned cores() {
    static const unsigned n = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    return n;
}

unsigned chunk_threads(std::size_t bytes, std::uint64_t asked) {
    if (asked != 0) return static_cast<unsigned>(asked);
    return bytes >= 8 * age::kChunkBytes ? cores() : 1;
}

PyObject* stanza_pair(age::Stanza& s) { return bytes_pair(s.argument, s.body); }

// The file key, or None when the stanza is not for this identity.
PyObject* unwrapped(age::Unwrapped& u) {
    if (!u.matched) Py_RETURN_NONE;
    return to_bytes(u.file_key);
}

// (argument, body) of a wrap call: fn(file_key, recipient).
template <class Wrap>
PyObject* wrap_call(const char* fn, const char* recipient_name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Wrap&& wrap) {
    const char* const names[] = {"file_key", recipient_name};
    PyObject* a[2];
    Bytes file_key, recipient;
    if (!parse_args({fn, names, 2}, args, nargs, kwnames, a) || !arg_bytes(a[0], "file_key", &file_key) ||
        !arg_bytes(a[1], recipient_name, &recipient)) {
        return nullptr;
    }
    auto r = without_gil([&] { return wrap(file_key, recipient); });
    return result_or_raise(std::move(r), stanza_pair);
}

// The file key or None of an unwrap call: fn(identity, argument, body).
template <class Unwrap>
PyObject* unwrap_call(const char* fn, const char* argument_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Unwrap&& unwrap, const char* body_name = "body") {
    const char* const names[] = {"identity", argument_name, body_name};
    PyObject* a[3];
    Bytes identity, argument, body;
    if (!parse_args({fn, names, 3}, args, nargs, kwnames, a) || !arg_bytes(a[0], "identity", &identity) ||
        !arg_bytes(a[1], argument_name, &argument) || !arg_bytes(a[2], body_name, &body)) {
        return nullptr;
    }
    auto r = without_gil([&] { return unwrap(identity, argument, body); });
    return result_or_raise(std::move(r), unwrapped);
}

PyObject* age_x25519_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"identity"};
        PyObject* a[1];
        Bytes identity;
        if (!parse_args({"age_x25519_public_key", names, 1}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "identity", &identity)) {
            return nullptr;
        }
        if (identity.size() != age::kX25519Bytes) return set_error(invalid_parameter_error_type(), age::kStanzaSize);
        std::array<std::uint8_t, age::kX25519Bytes> pk{};
        const bool ok = without_gil([&] { return primitives::x25519_public_key(identity.first<32>(), pk); });
        if (!ok) return set_error(invalid_parameter_error_type(), age::kLibraryFailure);
        return to_bytes(pk);
    });
}

PyObject* age_wrap_x25519(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return wrap_call("age_wrap_x25519", "recipient", args, nargs, kwnames, age::wrap_x25519);
    });
}

PyObject* age_unwrap_x25519(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return unwrap_call("age_unwrap_x25519", "share", args, nargs, kwnames, age::unwrap_x25519);
    });
}

PyObject* age_unwrap_x25519_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto unwrap = [](Bytes identity, Bytes shares, Bytes bodies) {
            // The cores share a header of at least 128 stanzas; fewer stay on this thread.
            const unsigned threads = shares.size() >= 128 * age::kX25519Bytes ? cores() : 1;
            return age::unwrap_x25519_many(identity, shares, bodies, threads);
        };
        return unwrap_call("age_unwrap_x25519_many", "shares", args, nargs, kwnames, unwrap, "bodies");
    });
}

PyObject* age_wrap_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return wrap_call("age_wrap_hybrid", "recipient", args, nargs, kwnames, age::wrap_hybrid);
    });
}

PyObject* age_unwrap_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return unwrap_call("age_unwrap_hybrid", "enc", args, nargs, kwnames, age::unwrap_hybrid);
    });
}

PyObject* age_wrap_scrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"file_key", "passphrase", "log_n"};
        PyObject* a[3];
        Bytes file_key, passphrase;
        std::uint64_t log_n = 0;
        if (!parse_args({"age_wrap_scrypt", names, 3}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "file_key", &file_key) || !arg_bytes(a[1], "passphrase", &passphrase) ||
            !arg_uint(a[2], "log_n", age::kMaxScryptLogN, &log_n)) {
            return nullptr;
        }
        auto r = without_gil([&] { return age::wrap_scrypt(file_key, passphrase, static_cast<unsigned>(log_n)); });
        return result_or_raise(std::move(r), stanza_pair);
    });
}

PyObject* age_unwrap_scrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"passphrase", "salt", "log_n", "body"};
        PyObject* a[4];
        Bytes passphrase, salt, body;
        std::uint64_t log_n = 0;
        if (!parse_args({"age_unwrap_scrypt", names, 4}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "passphrase", &passphrase) || !arg_bytes(a[1], "salt", &salt) ||
            !arg_uint(a[2], "log_n", age::kMaxScryptLogN, &log_n) || !arg_bytes(a[3], "body", &body)) {
            return nullptr;
        }
        auto r = without_gil(
            [&] { return age::unwrap_scrypt(passphrase, salt, static_cast<unsigned>(log_n), body); });
        return result_or_raise(std::move(r), unwrapped);
    });
}

PyObject* age_header_mac(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"file_key", "header"};
        PyObject* a[2];
        Bytes file_key, header;
        if (!parse_args({"age_header_mac", names, 2}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "file_key", &file_key) || !arg_bytes(a[1], "header", &header)) {
            return nullptr;
        }
        auto r = without_gil([&] { return age::header_mac(file_key, header); });
        return result_or_raise(std::move(r), [](std::array<std::uint8_t, age::kMacBytes>& m) { return to_bytes(m); });
    });
}

PyObject* age_payload_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"file_key", "nonce"};
        PyObject* a[2];
        Bytes file_key, nonce;
        if (!parse_args({"age_payload_key", names, 2}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "file_key", &file_key) || !arg_bytes(a[1], "nonce", &nonce)) {
            return nullptr;
        }
        auto r = without_gil([&] { return age::payload_key(file_key, nonce); });
        return result_or_raise(std::move(r), [](age::PayloadKey& k) { return to_bytes(k); });
    });
}

// The arguments shared by the two chunk functions.
struct ChunkArgs {
    Bytes key;
    std::uint64_t counter = 0;
    BufferArg data;
    bool final = false;
    BufferArg out;
    bool has_out = false;  // omitted or None: the result is a new bytes object
    std::uint64_t threads = 0;  // omitted, None or 0: chosen by the batch's size
};

bool parse_chunk_args(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ChunkArgs& c) {
    static const char* const names[] = {"key", "counter", "data", "final", "out", "threads"};
    PyObject* a[6];
    if (!parse_args({fn, names, 4}, args, nargs, kwnames, a) || !arg_bytes(a[0], "key", &c.key) ||
        !arg_uint(a[1], "counter", kMaxCounter, &c.counter) || !c.data.get(a[2], "data", false)) {
        return false;
    }
    c.has_out = a[4] != nullptr && a[4] != Py_None;
    if (c.has_out && !c.out.get(a[4], "out", true)) return false;
    if (a[5] != nullptr && a[5] != Py_None && !arg_uint(a[5], "threads", kMaxThreads, &c.threads)) return false;
    if (!PyBool_Check(a[3])) return raise_type_error(a[3], "bool", "final");
    c.final = a[3] == Py_True;
    if (c.key.size() != 32) {
        set_error(invalid_parameter_error_type(), "age: payload key must be 32 bytes");
        return false;
    }
    return true;
}

PyObject* age_seal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ChunkArgs c;
        if (!parse_chunk_args("age_seal_chunks", args, nargs, kwnames, c)) return nullptr;
        const Bytes data = c.data.bytes();
        const std::size_t n = age::sealed_size(data.size(), c.final);
        auto seal = [&](std::span<std::uint8_t> out) {
            return age::seal_chunks(c.key.first<32>(), c.counter, data, c.final, out,
                                    chunk_threads(data.size(), c.threads));
        };
        if (!c.has_out) return bytes_written_without_gil(n, seal);
        if (c.out.writable().size() < n) return set_error(invalid_parameter_error_type(), age::kOutputSize);
        auto r = without_gil([&] { return seal(c.out.writable().first(n)); });
        if (!r) return core_error_to_pyerr(r.error());
        return PyLong_FromSize_t(n);
    });
}

PyObject* age_open_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ChunkArgs c;
        if (!parse_chunk_args("age_open_chunks", args, nargs, kwnames, c)) return nullptr;
        const Bytes data = c.data.bytes();
        // Without `out`: a new bytes object sized for every chunk opening.
        const std::size_t most = age::opened_size(data.size());
        std::span<std::uint8_t> out;
        PyRef fresh;
        if (c.has_out) {
            out = c.out.writable();
        } else {
            fresh = PyRef(new_bytes(most, &out));
            if (!fresh) return nullptr;
        }
        auto r = without_gil([&] {
            return age::open_chunks(c.key.first<32>(), c.counter, data, c.final, out,
                                   chunk_threads(data.size(), c.threads));
        });
        if (!r) return core_error_to_pyerr(r.error());
        PyRef result;
        if (c.has_out) {
            result = PyRef(PyLong_FromSize_t(r->written));
        } else if (r->written == most) {
            result = std::move(fresh);
        } else {
            result = PyRef(to_bytes(out.first(r->written)));  // a shorter prefix: copied (failures only)
        }
        if (!result) return nullptr;
        return PyTuple_Pack(3, result.get(), r->finished ? Py_True : Py_False, r->ok ? Py_True : Py_False);
    });
}

#define AGE_FN(name, doc) {#name, VELORA_FASTCALL(name), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kAgeMethods[] = {
    AGE_FN(age_x25519_public_key, "age_x25519_public_key(identity)\n--\n\nX25519(identity, 9): the recipient."),
    AGE_FN(age_wrap_x25519,
           "age_wrap_x25519(file_key, recipient)\n--\n\nAn X25519 stanza: (ephemeral share, body)."),
    AGE_FN(age_unwrap_x25519,
           "age_unwrap_x25519(identity, share, body)\n--\n\nThe file key, or None when the body does not open."),
    AGE_FN(age_unwrap_x25519_many,
           "age_unwrap_x25519_many(identity, shares, bodies)\n--\n\n"
           "The file key of the first of the stanzas that opens, or None."),
    AGE_FN(age_wrap_scrypt, "age_wrap_scrypt(file_key, passphrase, log_n)\n--\n\nAn scrypt stanza: (salt, body)."),
    AGE_FN(age_unwrap_scrypt,
           "age_unwrap_scrypt(passphrase, salt, log_n, body)\n--\n\nThe file key, or None when the body does not open."),
    AGE_FN(age_wrap_hybrid,
           "age_wrap_hybrid(file_key, recipient)\n--\n\nAn mlkem768x25519 stanza: (enc, body)."),
    AGE_FN(age_unwrap_hybrid,
           "age_unwrap_hybrid(identity, enc, body)\n--\n\nThe file key, or None when the body does not open."),
    AGE_FN(age_header_mac, "age_header_mac(file_key, header)\n--\n\nThe 32-byte header MAC."),
    AGE_FN(age_payload_key, "age_payload_key(file_key, nonce)\n--\n\nThe 32-byte payload key."),
    AGE_FN(age_seal_chunks,
           "age_seal_chunks(key, counter, data, final, out=None, threads=None)\n--\n\n"
           "Seals data as STREAM chunks into out (the byte count), or into a new bytes object."),
    AGE_FN(age_open_chunks,
           "age_open_chunks(key, counter, data, at_end, out=None, threads=None)\n--\n\n"
           "Opens STREAM chunks into out, or into a new bytes object: (plaintext bytes written, or the "
           "plaintext; final chunk seen; payload good so far)."),
};

#undef AGE_FN

}  // namespace

constinit const FunctionTable kAgeFunctions{kAgeMethods};

}  // namespace velora::bindings
