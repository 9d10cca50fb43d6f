// velora.build_info(): what this build runs on, as a dict, so that a slow
// fallback (AES-256-GCM on libcrypto, scalar ML-KEM kernels) is visible.
#include "bindings/native/native.hpp"
#include "core/build_facts.hpp"

namespace velora::bindings {

namespace {

PyObject* build_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSig{"build_info", {}, 0};
    if (!parse_args(kSig, args, nargs, kwnames, nullptr)) return nullptr;
    return guarded([]() -> PyObject* {
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        for (const BuildFact& fact : build_facts()) {
            PyRef value(fact.value ? to_str(*fact.value) : Py_NewRef(Py_None));
            PyRef key(to_str(fact.key));
            if (!value || !key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

PyMethodDef kBuildInfoMethods[] = {
    {"build_info", VELORA_FASTCALL(build_info), METH_FASTCALL | METH_KEYWORDS,
     "build_info()\n--\n\n"
     "What this build runs on, as a new dict of str to str or None: 'aes_gcm', the AES-256-GCM\n"
     "backend in use ('ipsec-mb' or 'openssl'); 'ipsec_mb', the ipsec-mb version (None: the build\n"
     "did not find the library); 'mlkem_kernels', the ML-KEM kernels in use ('avx2' or 'scalar');\n"
     "'keccak', the Keccak-f[1600] path of SHA-3 and SHAKE ('avx512', 'avx2' or 'scalar');\n"
     "'libcrypto', the version text of the libcrypto in use; 'compiler', the compiler of the engine."},
};

}  // namespace

constinit const FunctionTable kBuildInfoFunctions{kBuildInfoMethods};

}  // namespace velora::bindings
