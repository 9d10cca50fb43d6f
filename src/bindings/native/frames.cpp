// The frames of a velora stream at any index (core/frames.hpp): random access
// into velora files, and whole files opened or sealed on many threads.
#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/stream/frames.hpp"

#include <algorithm>

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kMaxThreads = 256;
constexpr std::uint64_t kMaxIndex = stream::kLastIndex;

// The key (any 32-byte buffer: the caller may wipe a bytearray afterwards) and
// the base nonce shared by every function here.
struct KeyArgs {
    BufferArg key;
    Bytes base_nonce;
    stream::Nonce nonce{};

    bool get(PyObject* key_obj, PyObject* nonce_obj) {
        if (!key.parse(key_obj, "key") || !arg_bytes(nonce_obj, "base_nonce", &base_nonce)) return false;
        if (key.bytes().size() != 32) {
            set_error(invalid_parameter_error_type(), "frames: key must be 32 bytes");
            return false;
        }
        if (base_nonce.size() != stream::kBaseNonceBytes) {
            set_error(invalid_parameter_error_type(), "frames: base nonce must be 12 bytes");
            return false;
        }
        std::copy(base_nonce.begin(), base_nonce.end(), nonce.begin());
        return true;
    }
    std::span<const std::uint8_t, 32> key32() const { return key.bytes().first<32>(); }
};

// (key, base_nonce, first, chunk_size, data, out=None, threads=None)
struct RunArgs {
    KeyArgs k;
    std::uint64_t first = 0;
    std::uint64_t chunk_size = 0;
    BufferArg data;
    BufferArg out;
    bool has_out = false;
    unsigned threads = 1;
};

bool parse_run(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, RunArgs& r) {
    static const char* const names[] = {"key", "base_nonce", "first", "chunk_size", "data", "out", "threads"};
    PyObject* a[7];
    std::uint64_t threads = 1;
    if (!parse_args({fn, names, 5}, args, nargs, kwnames, a) || !r.k.get(a[0], a[1]) ||
        !arg_uint(a[2], "first", kMaxIndex, &r.first) || !arg_uint(a[3], "chunk_size", stream::kMaxChunkSize, &r.chunk_size) ||
        !r.data.parse(a[4], "data")) {
        return false;
    }
    r.has_out = a[5] != nullptr && a[5] != Py_None;
    if (r.has_out && !r.out.get(a[5], "out", true)) return false;
    if (a[6] != nullptr && a[6] != Py_None && !arg_uint(a[6], "threads", kMaxThreads, &threads)) return false;
    r.threads = static_cast<unsigned>(std::max<std::uint64_t>(1, threads));
    return true;
}

PyObject* frames_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RunArgs r;
        if (!parse_run("frames_open", args, nargs, kwnames, r)) return nullptr;
        const auto cs = static_cast<std::uint32_t>(r.chunk_size);
        auto size = frames::frames_plaintext_size(r.data.bytes(), cs);
        if (!size) return core_error_to_pyerr(size.error());
        auto open = [&](std::span<std::uint8_t> out) {
            return frames::open_frames(r.k.key32(), r.k.nonce, r.first, cs, r.data.bytes(), out, r.threads);
        };
        if (!r.has_out) {
            return bytes_written_without_gil(*size, [&](std::span<std::uint8_t> out) -> Result<void> {
                auto n = open(out);
                if (!n) return fail(n.error());
                return {};
            });
        }
        auto n = without_gil([&] { return open(r.out.writable()); });
        if (!n) return core_error_to_pyerr(n.error());
        return PyLong_FromSize_t(*n);
    });
}

PyObject* frames_seal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        RunArgs r;
        if (!parse_run("frames_seal", args, nargs, kwnames, r)) return nullptr;
        const auto cs = static_cast<std::uint32_t>(r.chunk_size);
        if (cs == 0) return set_error(invalid_parameter_error_type(), frames::kChunkSize);
        const Bytes pt = r.data.bytes();
        const std::size_t n = pt.size() + (pt.size() + cs - 1) / cs * stream::kFrameOverheadBytes;
        auto seal = [&](std::span<std::uint8_t> out) {
            return frames::seal_frames(r.k.key32(), r.k.nonce, r.first, cs, pt, out, r.threads);
        };
        if (!r.has_out) return bytes_written_without_gil(n, seal);
        if (r.out.writable().size() < n) return set_error(invalid_parameter_error_type(), frames::kOutputSize);
        auto done = without_gil([&] { return seal(r.out.writable().first(n)); });
        if (!done) return core_error_to_pyerr(done.error());
        return PyLong_FromSize_t(n);
    });
}

PyObject* frames_end_marker(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"key", "base_nonce", "index"};
        PyObject* a[3];
        KeyArgs k;
        std::uint64_t index = 0;
        if (!parse_args({"frames_end_marker", names, 3}, args, nargs, kwnames, a) || !k.get(a[0], a[1]) ||
            !arg_uint(a[2], "index", kMaxIndex, &index)) {
            return nullptr;
        }
        auto m = frames::end_marker(k.key32(), k.nonce, index);
        return result_or_raise(std::move(m), [](stream::EofMarker& e) { return to_bytes(e); });
    });
}

PyObject* frames_open_end(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"key", "base_nonce", "index", "tag"};
        PyObject* a[4];
        KeyArgs k;
        std::uint64_t index = 0;
        BufferArg tag;
        if (!parse_args({"frames_open_end", names, 4}, args, nargs, kwnames, a) || !k.get(a[0], a[1]) ||
            !arg_uint(a[2], "index", kMaxIndex, &index) || !tag.parse(a[3], "tag")) {
            return nullptr;
        }
        auto r = frames::open_end_marker(k.key32(), k.nonce, index, tag.bytes());
        if (!r) return raise_core_error(r.error(), "the end marker does not authenticate at its index");
        Py_RETURN_NONE;
    });
}

#define FRAMES_FN(name, doc) {#name, VELORA_FASTCALL(name), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kFramesMethods[] = {
    FRAMES_FN(frames_open,
              "frames_open(key, base_nonce, first, chunk_size, data, out=None, threads=None)\n--\n\n"
              "Opens whole frames as frames first, first + 1, ...: the plaintext bytes written into out, "
              "or a new bytes object. DecryptionError when one does not authenticate."),
    FRAMES_FN(frames_seal,
              "frames_seal(key, base_nonce, first, chunk_size, data, out=None, threads=None)\n--\n\n"
              "Seals data in chunk_size pieces as frames first, first + 1, ...: the bytes written into out, "
              "or a new bytes object."),
    FRAMES_FN(frames_end_marker, "frames_end_marker(key, base_nonce, index)\n--\n\nThe 20-byte end marker at index."),
    FRAMES_FN(frames_open_end,
              "frames_open_end(key, base_nonce, index, tag)\n--\n\nChecks the tag of the end marker at index."),
};

#undef FRAMES_FN

}  // namespace

const FunctionTable kFramesFunctions{kFramesMethods};

}  // namespace velora::bindings
