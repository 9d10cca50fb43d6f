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

// build_info.cpp: build_info()
extern const FunctionTable kBuildInfoFunctions;

// ---- keys (keys.cpp): key objects, IETF key formats, FIPS 203 checks ----
FunctionTable keys_functions();
PyObject* keys_secret_key_type();  // borrowed; registered as SecretKey

// The protocol concerns (one file each under native/).
extern const FunctionTable kXWingTable;  // xwing.cpp
extern const FunctionTable kHpkeTable;   // hpke.cpp
extern const FunctionTable kAgeTable;    // age.cpp
extern const FunctionTable kVfileTable;  // vfile.cpp

}  // namespace velora::bindings
