// The native module `velora._velora_native`: the package's native code beyond
// the core module (key formats, protocols, build facts). Each concern
// registers its functions through one table declared here.
#pragma once

#include <span>

#include "bindings/common.hpp"

namespace velora::bindings {

// Imports `velora._velora_core` (once per process), whose exception classes
// and SecurityLevel members this module uses. false with an exception set.
[[nodiscard]] bool import_core_module();

// The functions of one concern, registered in table order.
using FunctionTable = std::span<PyMethodDef>;

// One table per concern, one file each under native/.
extern const FunctionTable kBuildInfoFunctions;  // build_info.cpp: build_info()
extern const FunctionTable kKeysFunctions;       // keys.cpp: key objects, IETF key formats, FIPS 203 checks
extern const FunctionTable kXWingFunctions;      // xwing.cpp
extern const FunctionTable kHpkeFunctions;       // hpke.cpp
extern const FunctionTable kAgeFunctions;        // age.cpp
extern const FunctionTable kVfileFunctions;      // vfile.cpp: velora files, version 2
extern const FunctionTable kMlDsaFunctions;      // mldsa.cpp

PyObject* keys_secret_key_type();  // keys.cpp; borrowed; registered as SecretKey

}  // namespace velora::bindings
