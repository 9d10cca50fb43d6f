// Backend and library facts for build reports.
#include "primitives/library_info.hpp"

#include <openssl/crypto.h>

#include "primitives/aes_gcm_backend.hpp"

namespace velora::primitives {

const char* aes_gcm_backend_in_use() noexcept { return aes_gcm_backend_name(aes_gcm_default_backend()); }

const char* libcrypto_version() noexcept { return OpenSSL_version(OPENSSL_VERSION); }

const char* ipsec_mb_version() noexcept { return detail::ipsecmb_version(); }

}  // namespace velora::primitives
