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

// hybrid_bindings.cpp
extern PyMethodDef kEncryptHybridDef;
extern PyMethodDef kDecryptHybridDef;

// stream_bindings.cpp (classes created once per process; borrowed references)
PyObject* stream_encryptor_type();
PyObject* stream_decryptor_type();
extern PyMethodDef kStreamEncryptorNewDef;
extern PyMethodDef kStreamDecryptorFromHeaderDef;

}  // namespace velora::bindings
