// StreamEncryptorHandle, StreamDecryptorHandle and the two functions that
// create them.
//
// Each handle carries a borrow flag. A state-changing method takes it
// exclusively for the whole call, including the stretch where the lock is
// released around AES-GCM; a getter takes it shared. A call that finds the
// flag taken fails at once with RuntimeError ("Already borrowed" for
// exclusive methods, "Already mutably borrowed" for getters): nothing ever
// waits on a handle, so nothing can deadlock on one.
#include <atomic>
#include <new>

#include "bindings/registry.hpp"
#include "core/stream/stream.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

// ---- borrow flag ------------------------------------------------------------

// 0: free; -1: held exclusively; n > 0: n shared holders.
using BorrowFlag = std::atomic<int>;

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
        int expected = 0;
        held_ = flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    ~ExclusiveBorrow() {
        if (held_) flag_.store(0, std::memory_order_release);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

    // Sets RuntimeError "Already borrowed" when the flag was taken.
    bool held() const noexcept {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return held_;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
        int current = flag_.load(std::memory_order_relaxed);
        while (current >= 0) {
            if (flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
                held_ = true;
                return;
            }
        }
    }
    ~SharedBorrow() {
        if (held_) flag_.fetch_sub(1, std::memory_order_release);
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

    // Sets RuntimeError "Already mutably borrowed" when an exclusive call runs.
    bool held() const noexcept {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return held_;
    }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

// ---- handle objects ---------------------------------------------------------

template <class Engine>
struct HandleObject {
    PyObject_HEAD
    BorrowFlag borrow;
    Engine* engine;  // owned; holds the stream state until finalize
};

using EncryptorObject = HandleObject<stream::StreamEncryptor>;
using DecryptorObject = HandleObject<stream::StreamDecryptor>;

template <class Engine>
HandleObject<Engine>* as_handle(PyObject* self) {
    return reinterpret_cast<HandleObject<Engine>*>(self);
}

template <class Engine>
void handle_dealloc(PyObject* self) {
    auto* h = as_handle<Engine>(self);
    delete h->engine;  // the keyed cipher is freed; it need not be wiped
    h->borrow.~BorrowFlag();
    free_object(self);
}

// Wraps an engine object in a new handle of the given type (new reference).
template <class Engine>
PyObject* handle_new(PyObject* type, Engine&& engine) {
    if (type == nullptr) return nullptr;
    auto* owned = new Engine(std::move(engine));
    PyObject* self = alloc_object(reinterpret_cast<PyTypeObject*>(type));
    if (self == nullptr) {
        delete owned;
        return nullptr;
    }
    auto* h = as_handle<Engine>(self);
    new (&h->borrow) BorrowFlag(0);
    h->engine = owned;
    return self;
}

// The getters both handles have (zero values once closed).
template <class Engine>
PyObject* handle_chunk_size(PyObject* self, PyObject*) {
    auto* h = as_handle<Engine>(self);
    SharedBorrow borrow(h->borrow);
    if (!borrow.held()) return nullptr;
    return PyLong_FromUnsignedLong(h->engine->chunk_size());
}

template <class Engine>
PyObject* handle_chunk_index(PyObject* self, PyObject*) {
    auto* h = as_handle<Engine>(self);
    SharedBorrow borrow(h->borrow);
    if (!borrow.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(h->engine->chunk_index());
}

PyObject* raise_if_error(const Result<void>& r) {
    if (!r) return core_error_to_pyerr(r.error());
    Py_RETURN_NONE;
}

// ---- StreamEncryptorHandle --------------------------------------------------

PyObject* encryptor_encrypt_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"plaintext"};
        PyObject* a[1];
        if (!parse_args({"encrypt_chunk", names, 1}, args, nargs, kwnames, a)) return nullptr;
        auto* h = as_handle<stream::StreamEncryptor>(self);
        ExclusiveBorrow borrow(h->borrow);
        if (!borrow.held()) return nullptr;
        Bytes plaintext;
        if (!arg_bytes(a[0], "plaintext", &plaintext)) return nullptr;

        // Closed, oversized or out of indexes: refused before any allocation.
        auto size = h->engine->frame_size(plaintext.size());
        if (!size) return core_error_to_pyerr(size.error());
        return bytes_written_without_gil(*size, [&](std::span<std::uint8_t> out) {
            return h->engine->encrypt_chunk_into(plaintext, out);
        });
    });
}

PyObject* encryptor_finalize(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* h = as_handle<stream::StreamEncryptor>(self);
        ExclusiveBorrow borrow(h->borrow);
        if (!borrow.held()) return nullptr;
        auto marker = without_gil([&] { return h->engine->finalize(); });
        return result_or_raise(std::move(marker), to_bytes);
    });
}

PyObject* encryptor_base_nonce(PyObject* self, PyObject*) {
    auto* h = as_handle<stream::StreamEncryptor>(self);
    SharedBorrow borrow(h->borrow);
    if (!borrow.held()) return nullptr;
    const stream::Nonce nonce = h->engine->base_nonce();
    return to_bytes(nonce);
}

PyMethodDef kEncryptorMethods[] = {
    {"encrypt_chunk", VELORA_FASTCALL(encryptor_encrypt_chunk), METH_FASTCALL | METH_KEYWORDS,
     "encrypt_chunk($self, plaintext)\n--\n\n"
     "Cifra un chunk de plaintext. Retorna el frame `[len || ciphertext || tag]`.\n\n"
     "Libera el GIL durante AES-GCM."},
    {"finalize", encryptor_finalize, METH_NOARGS,
     "finalize($self)\n--\n\n"
     "Emite el EOF marker (frame de longitud 0 con un tag sobre plaintext vacio).\n\n"
     "Tras llamar `finalize`, el encryptor ya no puede usarse."},
    {"base_nonce", encryptor_base_nonce, METH_NOARGS,
     "base_nonce($self)\n--\n\nBase nonce (12 bytes aleatorios por stream)."},
    {"chunk_size", handle_chunk_size<stream::StreamEncryptor>, METH_NOARGS,
     "chunk_size($self)\n--\n\nTamano maximo de ciphertext por chunk."},
    {"chunk_index", handle_chunk_index<stream::StreamEncryptor>, METH_NOARGS,
     "chunk_index($self)\n--\n\nChunks emitidos hasta ahora."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEncryptorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Handle de cifrador de stream. Conserva el shared_secret entre llamadas.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc<stream::StreamEncryptor>)},
    {Py_tp_methods, kEncryptorMethods},
    {0, nullptr},
};

PyType_Spec kEncryptorSpec = {
    "velora.StreamEncryptorHandle",
    sizeof(EncryptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kEncryptorSlots,
};

// ---- StreamDecryptorHandle --------------------------------------------------

PyObject* decryptor_decrypt_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ciphertext", "tag"};
        PyObject* a[2];
        if (!parse_args({"decrypt_chunk", names, 2}, args, nargs, kwnames, a)) return nullptr;
        auto* h = as_handle<stream::StreamDecryptor>(self);
        ExclusiveBorrow borrow(h->borrow);
        if (!borrow.held()) return nullptr;
        Bytes ciphertext, tag;
        if (!arg_bytes(a[0], "ciphertext", &ciphertext) || !arg_bytes(a[1], "tag", &tag)) return nullptr;

        // Closed, tag length, oversized, after EOF: refused before allocating.
        auto ok = h->engine->check_chunk(ciphertext.size(), tag.size());
        if (!ok) return core_error_to_pyerr(ok.error());
        // A chunk that fails authentication leaves zeros in out, which is
        // never returned.
        return bytes_written_without_gil(ciphertext.size(), [&](std::span<std::uint8_t> out) {
            return h->engine->decrypt_chunk_into(ciphertext, tag, out);
        });
    });
}

PyObject* decryptor_process_eof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"tag"};
        PyObject* a[1];
        if (!parse_args({"process_eof", names, 1}, args, nargs, kwnames, a)) return nullptr;
        auto* h = as_handle<stream::StreamDecryptor>(self);
        ExclusiveBorrow borrow(h->borrow);
        if (!borrow.held()) return nullptr;
        Bytes tag;
        if (!arg_bytes(a[0], "tag", &tag)) return nullptr;
        auto done = without_gil([&] { return h->engine->process_eof(tag); });
        return raise_if_error(done);
    });
}

PyObject* decryptor_finalize(PyObject* self, PyObject*) {
    auto* h = as_handle<stream::StreamDecryptor>(self);
    ExclusiveBorrow borrow(h->borrow);
    if (!borrow.held()) return nullptr;
    return raise_if_error(h->engine->finalize());
}

PyObject* decryptor_eof_seen(PyObject* self, PyObject*) {
    auto* h = as_handle<stream::StreamDecryptor>(self);
    SharedBorrow borrow(h->borrow);
    if (!borrow.held()) return nullptr;
    return PyBool_FromLong(h->engine->eof_seen());
}

PyMethodDef kDecryptorMethods[] = {
    {"decrypt_chunk", VELORA_FASTCALL(decryptor_decrypt_chunk), METH_FASTCALL | METH_KEYWORDS,
     "decrypt_chunk($self, ciphertext, tag)\n--\n\n"
     "Descifra un chunk. Retorna el plaintext.\n\n"
     "Libera el GIL durante AES-GCM."},
    {"process_eof", VELORA_FASTCALL(decryptor_process_eof), METH_FASTCALL | METH_KEYWORDS,
     "process_eof($self, tag)\n--\n\nProcesa el EOF marker (frame de longitud 0)."},
    {"finalize", decryptor_finalize, METH_NOARGS,
     "finalize($self)\n--\n\nVerifica que el EOF marker fue visto."},
    {"eof_seen", decryptor_eof_seen, METH_NOARGS,
     "eof_seen($self)\n--\n\nTrue si el EOF marker fue procesado."},
    {"chunk_size", handle_chunk_size<stream::StreamDecryptor>, METH_NOARGS,
     "chunk_size($self)\n--\n\nTamano maximo del ciphertext por chunk."},
    {"chunk_index", handle_chunk_index<stream::StreamDecryptor>, METH_NOARGS,
     "chunk_index($self)\n--\n\nChunks descifrados hasta ahora."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDecryptorSlots[] = {
    {Py_tp_doc, const_cast<char*>("Handle de descifrador de stream. Conserva el shared_secret entre llamadas.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc<stream::StreamDecryptor>)},
    {Py_tp_methods, kDecryptorMethods},
    {0, nullptr},
};

PyType_Spec kDecryptorSpec = {
    "velora.StreamDecryptorHandle",
    sizeof(DecryptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kDecryptorSlots,
};

// ---- type cache -------------------------------------------------------------

PyObject* g_encryptor_type = nullptr;
PyObject* g_decryptor_type = nullptr;

// ---- module functions -------------------------------------------------------

// chunk_size: an int read as signed 64-bit, then narrowed to unsigned 32-bit.
bool arg_chunk_size(PyObject* obj, std::uint32_t* out) {
    if (!PyLong_Check(obj)) return raise_type_error(obj, "int", "chunk_size");
    const long long value = PyLong_AsLongLong(obj);  // beyond 64 bits: the interpreter's OverflowError
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
}

PyObject* stream_encryptor_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"recipient_public_key", "chunk_size", "level"};
        PyObject* a[3];
        Bytes ek;
        std::uint32_t chunk_size = 0;
        std::uint8_t level = 0;
        if (!parse_args({"stream_encryptor_new", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "recipient_public_key", &ek) || !arg_chunk_size(a[1], &chunk_size) ||
            !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        auto setup = without_gil([&] { return stream::stream_encryptor_new(ek, chunk_size, level); });
        return result_or_raise(std::move(setup), [](stream::EncryptorSetup& s) -> PyObject* {
            PyRef header(to_bytes(s.header));
            if (!header) return nullptr;
            PyRef handle(handle_new(stream_encryptor_type(), std::move(s.encryptor)));
            if (!handle) return nullptr;
            return PyTuple_Pack(2, header.get(), handle.get());
        });
    });
}

PyObject* stream_decryptor_from_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"header_bytes", "secret_key", "level"};
        PyObject* a[3];
        Bytes header, dk;
        std::uint8_t level = 0;
        if (!parse_args({"stream_decryptor_from_header", names, 3}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "header_bytes", &header) || !arg_bytes(a[1], "secret_key", &dk) ||
            !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        auto dec = without_gil([&] { return stream::stream_decryptor_from_header(header, dk, level); });
        return result_or_raise(std::move(dec), [](stream::StreamDecryptor& d) {
            return handle_new(stream_decryptor_type(), std::move(d));
        });
    });
}

}  // namespace

PyObject* stream_encryptor_type() { return cached_type(g_encryptor_type, &kEncryptorSpec, "StreamEncryptorHandle"); }
PyObject* stream_decryptor_type() { return cached_type(g_decryptor_type, &kDecryptorSpec, "StreamDecryptorHandle"); }

PyMethodDef kStreamEncryptorNewDef = {
    "stream_encryptor_new", VELORA_FASTCALL(stream_encryptor_new), METH_FASTCALL | METH_KEYWORDS,
    "stream_encryptor_new(recipient_public_key, chunk_size, level=...)\n--\n\n"
    "Encapsula + crea un StreamEncryptor.\n\n"
    "Returns:\n    (header_bytes, encryptor_handle).\n\n"
    "El header se antepone al primer output. El encryptor se mantiene\n"
    "entre llamadas para emitir chunks y el EOF marker."};

PyMethodDef kStreamDecryptorFromHeaderDef = {
    "stream_decryptor_from_header", VELORA_FASTCALL(stream_decryptor_from_header), METH_FASTCALL | METH_KEYWORDS,
    "stream_decryptor_from_header(header_bytes, secret_key, level)\n--\n\n"
    "Decapsula + crea un StreamDecryptor desde un header.\n\n"
    "Args:\n    header_bytes: header serializado [capsule | base_nonce | chunk_size].\n"
    "    secret_key: clave secreta ML-KEM del receptor.\n\n"
    "Errors:\n    VeloraError::InvalidParameter si header mal formado."};

}  // namespace velora::bindings
