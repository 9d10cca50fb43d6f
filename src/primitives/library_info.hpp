// What the primitives run on in this process, for build reports: the
// AES-256-GCM backend chosen and the libraries' own version texts.
#pragma once

namespace velora::primitives {

// Name of the AES-256-GCM backend that Aes256Gcm::create() uses in this
// process: "ipsec-mb" or "openssl".
const char* aes_gcm_backend_in_use() noexcept;

// OpenSSL_version(OPENSSL_VERSION) of the libcrypto in use, e.g.
// "OpenSSL 3.0.19 27 Jan 2026".
const char* libcrypto_version() noexcept;

// imb_get_version_str() of ipsec-mb, e.g. "1.3.0"; nullptr when the build
// did not find the library.
const char* ipsec_mb_version() noexcept;

}  // namespace velora::primitives
