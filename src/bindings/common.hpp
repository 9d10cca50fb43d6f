// Shared helpers of the binding layer: owned references, the lock-release
// guard, argument conventions, result builders and the error mapping.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "platform/error.hpp"

namespace velora::bindings {

// ---- owned references -------------------------------------------------------

class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---- the interpreter lock ---------------------------------------------------

// Releases the interpreter lock for its lifetime. Nothing inside may touch a
// Python object or a reference count.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

template <class F>
auto without_gil(F&& f) {
    GilRelease released;
    return std::forward<F>(f)();
}

// ---- arguments --------------------------------------------------------------

// The parameter list of one function: names in signature order, how many are
// required. Used with METH_FASTCALL | METH_KEYWORDS.
struct Signature {
    const char* function;                // name used in TypeError texts
    std::span<const char* const> names;  // parameter names
    std::size_t required;                // leading required parameters
};

// Sorts positional and keyword arguments into out[0..names.size()), borrowed;
// an omitted optional parameter is nullptr. Raises the interpreter's usual
// TypeError texts (missing, too many, unexpected keyword, multiple values).
[[nodiscard]] bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject** out);

// The contents of a `bytes` object (type already checked), in place.
std::span<const std::uint8_t> bytes_view(PyObject* obj) noexcept;

// `bytes` or a subclass, viewed in place (valid while the object lives).
[[nodiscard]] bool arg_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out);
// `str`, viewed as UTF-8 (valid while the object and `storage` live). A lone
// surrogate, which strict UTF-8 cannot carry, is kept as its surrogatepass
// bytes in `storage`: the text parsers then see a character outside every
// alphabet and report the format error, not a UnicodeEncodeError.
[[nodiscard]] bool arg_str(PyObject* obj, const char* name, std::string_view* out, PyRef& storage);
// A SecurityLevel member; obj == nullptr (omitted) gives ML-KEM-768.
// Writes the parameter-set index 0, 1 or 2.
[[nodiscard]] bool arg_level(PyObject* obj, const char* name, std::uint8_t* index_out);

// Raises TypeError "'T' object is not an instance of 'EXPECTED'" (or the
// None form) with the note "while processing 'NAME'". Returns false.
bool raise_type_error(PyObject* obj, const char* expected, const char* name);

// ---- objects of the module's own classes ------------------------------------

// A new instance of a heap type through its tp_alloc slot (nullptr on error).
PyObject* alloc_object(PyTypeObject* type);
// The tp_dealloc tail of a heap type's instance: tp_free, then the reference
// to its type is dropped.
void free_object(PyObject* self) noexcept;

// ---- results ----------------------------------------------------------------

PyObject* to_bytes(std::span<const std::uint8_t> data);
PyObject* to_str(std::string_view utf8);

// A new, uninitialised bytes object of n bytes and a writable view of it.
// (Zero-length requests yield the shared empty object, never written to.)
PyObject* new_bytes(std::size_t n, std::span<std::uint8_t>* view);

// ---- errors -----------------------------------------------------------------

// The one mapping from core errors to Python exceptions. Sets the exception
// and returns nullptr.
PyObject* core_error_to_pyerr(const VeloraError& err);

// Raises `type` (nullptr: its lookup already set an error) with `message`
// as its only argument. Returns nullptr.
PyObject* set_error(PyObject* type, std::string_view message);

// Exception classes, created once per process by the core module (new
// references are not returned: these are borrowed from the process-wide
// cache; the native module borrows the core module's classes). nullptr with
// an exception set on failure.
PyObject* velora_error_type();
PyObject* decapsulation_error_type();
PyObject* decryption_error_type();
PyObject* invalid_parameter_error_type();
PyObject* rng_error_type();
PyObject* key_serialization_error_type();
PyObject* panic_exception_type();

// Runs a binding body so that no C++ exception reaches the interpreter:
// std::bad_alloc becomes MemoryError, anything else PanicException.
template <class F>
PyObject* guarded(F&& body) noexcept;

void raise_panic(const char* what) noexcept;
void raise_memory_error() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (const std::bad_alloc&) {
        raise_memory_error();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

// Converts a Result<T>: on error maps it and returns nullptr; otherwise calls
// build(value) (with the lock held).
template <class T, class Build>
PyObject* result_or_raise(Result<T>&& r, Build&& build) {
    if (!r) return core_error_to_pyerr(r.error());
    return std::forward<Build>(build)(*r);
}

// A new bytes object of n bytes that write(view) -> Result<void> fills in
// place with the lock released. When write fails its error is raised and the
// object is dropped unreturned: no partly written result reaches the caller.
template <class Write>
PyObject* bytes_written_without_gil(std::size_t n, Write&& write) {
    std::span<std::uint8_t> out;
    PyRef result(new_bytes(n, &out));
    if (!result) return nullptr;
    auto done = without_gil([&] { return std::forward<Write>(write)(out); });
    if (!done) return core_error_to_pyerr(done.error());
    return result.release();
}

// METH_FASTCALL | METH_KEYWORDS functions stored in a PyMethodDef.
#define VELORA_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ---- module definitions -----------------------------------------------------

// One row of a module's contents, in registration order (which is also the
// order of __all__): a class, by the function that returns it (borrowed), or
// functions. A row that is not `listed` is set on the module but left out of
// __all__.
struct ModuleRow {
    const char* class_name = nullptr;
    PyObject* (*get_class)() = nullptr;
    std::span<PyMethodDef> functions{};
    bool listed = true;
};
constexpr ModuleRow module_class(const char* name, PyObject* (*get)(), bool listed = true) noexcept {
    return {name, get, {}, listed};
}
constexpr ModuleRow module_functions(std::span<PyMethodDef> defs) noexcept { return {nullptr, nullptr, defs, true}; }
constexpr ModuleRow module_function(PyMethodDef& def) noexcept { return module_functions({&def, 1}); }

// The exec step of both modules: sets each row's objects on the module, in
// order (a function's __module__ is the module's own name, for example
// "velora._velora_core"), then __all__, a new list of the listed names.
// -1 with an exception set.
int register_module(PyObject* module, std::span<const ModuleRow> rows);

// Fills a module's slot table for the running interpreter: its exec function,
// then, on CPython 3.12 and later, Py_mod_multiple_interpreters with "not
// supported" (the type objects, exception classes and SecurityLevel members
// are cached once per process, so they cannot serve a second interpreter),
// then the end marker. Built on the 3.11 stable ABI, the modules cannot test
// the version at compile time, and 3.11 refuses a slot it does not know, so
// the running version (Py_Version) decides. Call from PyInit_*.
void fill_module_slots(std::span<PyModuleDef_Slot, 3> slots, int (*exec)(PyObject*)) noexcept;

// ---- shared types (types.cpp) -----------------------------------------------

// Creates a heap type from its spec once per process and keeps it in `cell`
// (borrowed result). Only touched with the interpreter lock held; should a
// racing first use create a second type object, the first one stored is kept.
PyObject* cached_type(PyObject*& cell, PyType_Spec* spec, const char* class_name);
// The same for a type object already created (nullptr: its creation failed).
PyObject* cache_type(PyObject*& cell, PyObject* created, const char* class_name);

// The SecurityLevel class and its singleton for a parameter-set index (new reference).
PyObject* security_level_type();
PyObject* security_level_for_index(std::uint8_t index);
// The parameter-set index (0, 1, 2) of a SecurityLevel member (type already
// checked); nothing for an object that is none of the three members (or, with
// an exception set, when the members cannot be looked up).
std::optional<std::uint8_t> security_level_index(PyObject* member);

}  // namespace velora::bindings
