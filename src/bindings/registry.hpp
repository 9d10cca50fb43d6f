// Everything the module registers, declared by the file that defines it.
#pragma once

#include "bindings/common.hpp"

namespace velora::bindings {

// kem_bindings.cpp
extern PyMethodDef kGenerateKeypairDef;
extern PyMethodDef kEncapsulateDef;
extern PyMethodDef kDecapsulateDef;
extern PyMethodDef kGenerateKeypairDeterministicDef;
extern PyMethodDef kEncapsulateDeterministicDef;

// key_io_bindings.cpp
extern PyMethodDef kSerializePublicKeyDef;
extern PyMethodDef kDeserializePublicKeyDef;
extern PyMethodDef kLoadPublicKeyPemDef;
extern PyMethodDef kLoadPublicKeyJsonDef;
extern PyMethodDef kLoadSecretKeyRawDef;
extern PyMethodDef kLoadSecretKeyPemDef;

}  // namespace velora::bindings
