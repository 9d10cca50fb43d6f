// Argument helpers of the native module's protocol bindings (X-Wing, HPKE,
// age): integers, optional byte strings, buffers and pair results.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/common.hpp"

namespace velora::bindings {

// An `int` (not bool) in [0, max] into *out; TypeError for another type.
// Out of range: "'NAME' must be an int from 0 to MAX", as `range_error` (a
// class getter) or, without one, ValueError.
[[nodiscard]] bool arg_uint(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t* out,
                            PyObject* (*range_error)() = nullptr);

// bytes, or nullptr / None for "not given" (an empty span).
[[nodiscard]] bool arg_optional_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out);

// A bytes-like object (bytes, bytearray, memoryview, array...; str is
// refused: text is not bytes) held for the life of this object, writable when
// asked. While held, a bytearray cannot be resized, so the view stays valid
// with the interpreter lock released.
class BufferArg {
public:
    BufferArg() = default;
    BufferArg(const BufferArg&) = delete;
    BufferArg& operator=(const BufferArg&) = delete;
    ~BufferArg() {
        if (held_) PyBuffer_Release(&view_);
    }
    [[nodiscard]] bool get(PyObject* obj, const char* name, bool writable);
    [[nodiscard]] bool parse(PyObject* obj, const char* name) { return get(obj, name, false); }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    std::span<const std::uint8_t> span() const { return bytes(); }
    std::span<std::uint8_t> writable() { return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// (a, b) as a new tuple of two bytes objects.
PyObject* bytes_pair(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// Maps a core error like core_error_to_pyerr, except that a failed
// authentication raises DecryptionError with `decryption_message` (the
// generic text names AES-GCM; a key file's says "wrong password").
PyObject* raise_core_error(const VeloraError& err, std::string_view decryption_message);

}  // namespace velora::bindings
