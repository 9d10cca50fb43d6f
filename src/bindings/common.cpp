// Argument conventions, result builders and panic reporting.
#include "bindings/common.hpp"

#include <string>
#include <vector>

#include "bindings/types.hpp"

namespace velora::bindings {

namespace {

// "'d'", "'d' and 'z'", "'a', 'b' and 'c'", as the interpreter lists names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::size_t max = sig.names.size();
    const char* was = given == 1 ? "was" : "were";
    if (sig.required == max) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.function, max,
                     max == 1 ? "" : "s", given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     sig.function, sig.required, max, given, was);
    }
    return false;
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t n = sig.names.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > n) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed; k is in range
        // Compared as str objects (length-aware, never raises): a keyword with an embedded NUL
        // or a lone surrogate names no parameter.
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) { slot = i; break; }
        }
        if (slot == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function, key);
            return false;
        }
        out[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) missing.push_back(sig.names[i]);
    }
    if (!missing.empty()) {
        const std::string list = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function,
                     missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

bool raise_type_error(PyObject* obj, const char* expected, const char* name) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        PyRef type_name(PyType_GetName(Py_TYPE(obj)));
        if (!type_name) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), expected);
    }
    // Attach the PEP 678 note naming the parameter.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        PyRef note(PyUnicode_FromFormat("while processing '%s'", name));
        if (note) {
            PyRef r(PyObject_CallMethod(value, "add_note", "O", note.get()));
            if (!r) PyErr_Clear();
        } else {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, tb);
    return false;
}

bool arg_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out) {
    if (!PyBytes_Check(obj)) return raise_type_error(obj, "bytes", name);
    *out = bytes_view(obj);
    return true;
}

bool arg_str(PyObject* obj, const char* name, std::string_view* out, PyRef& storage) {
    if (!PyUnicode_Check(obj)) return raise_type_error(obj, "str", name);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        storage = PyRef(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
        if (!storage) return false;
        utf8 = PyBytes_AsString(storage.get());
        len = PyBytes_Size(storage.get());
    }
    *out = {utf8, static_cast<std::size_t>(len)};
    return true;
}

bool arg_level(PyObject* obj, const char* name, std::uint8_t* index_out) {
    if (obj == nullptr) {
        *index_out = 1;  // ML-KEM-768 when omitted
        return true;
    }
    PyObject* type = security_level_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        return raise_type_error(obj, "SecurityLevel", name);
    }
    const auto index = security_level_index(obj);
    if (!index) {
        if (!PyErr_Occurred()) set_error(invalid_parameter_error_type(), std::string(name) + " is not one of the three SecurityLevel members");
        return false;
    }
    *index_out = *index;
    return true;
}

PyObject* to_bytes(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

PyObject* to_str(std::string_view utf8) {
    return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* new_bytes(std::size_t n, std::span<std::uint8_t>* view) {
    PyObject* obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (obj != nullptr) *view = {reinterpret_cast<std::uint8_t*>(PyBytes_AsString(obj)), n};
    return obj;
}

PyObject* cache_type(PyObject*& cell, PyObject* created, const char* class_name) {
    if (created == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "initialising the class %s failed", class_name);
        return nullptr;
    }
    if (cell == nullptr) {
        cell = created;
    } else {
        Py_DECREF(created);
    }
    return cell;
}

PyObject* cached_type(PyObject*& cell, PyType_Spec* spec, const char* class_name) {
    if (cell != nullptr) return cell;
    return cache_type(cell, PyType_FromSpec(spec), class_name);
}

std::span<const std::uint8_t> bytes_view(PyObject* obj) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj)), static_cast<std::size_t>(PyBytes_Size(obj))};
}

PyObject* alloc_object(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_object(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

namespace {
// Slot id and value of Py_mod_multiple_interpreters / _NOT_SUPPORTED (3.12+).
constexpr int kSlotMultipleInterpreters = 3;
#ifdef Py_mod_multiple_interpreters
static_assert(Py_mod_multiple_interpreters == kSlotMultipleInterpreters);
#endif
constexpr unsigned long kFirstVersionWithTheSlot = 0x030C0000;
}  // namespace

int register_module(PyObject* module, std::span<const ModuleRow> rows) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module registration expects a module object");
        return -1;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    PyRef all(PyList_New(0));
    if (!module_name || !all) return -1;
    const auto add = [&](const char* name, PyObject* value, bool listed) {
        PyRef text(PyUnicode_FromString(name));
        return text && (!listed || PyList_Append(all.get(), text.get()) == 0) &&
               PyObject_SetAttr(module, text.get(), value) == 0;
    };
    for (const ModuleRow& row : rows) {
        if (row.get_class != nullptr) {
            PyObject* cls = row.get_class();  // borrowed from the process-wide cache
            if (cls == nullptr || !add(row.class_name, cls, row.listed)) return -1;
        }
        for (PyMethodDef& def : row.functions) {
            PyRef fn(PyCFunction_NewEx(&def, module, module_name.get()));
            if (!fn || !add(def.ml_name, fn.get(), row.listed)) return -1;
        }
    }
    return PyObject_SetAttrString(module, "__all__", all.get());
}

void fill_module_slots(std::span<PyModuleDef_Slot, 3> slots, int (*exec)(PyObject*)) noexcept {
    slots[0] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
    if (Py_Version >= kFirstVersionWithTheSlot) {
        slots[1] = {kSlotMultipleInterpreters, nullptr};  // nullptr: not supported
        slots[2] = {0, nullptr};
    } else {
        slots[1] = {0, nullptr};
    }
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

void raise_panic(const char* what) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation failure is already set
    PyErr_SetString(type, what);
}

}  // namespace velora::bindings
