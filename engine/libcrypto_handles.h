// Owning handles for libcrypto objects and the error-queue rule shared by
// the engine's libcrypto border files (rsa.cc, rsa_keygen.cc,
// rsa_public_key.cc, key_loading.cc). Only those files include it: nothing
// above engine/ sees a libcrypto type. Any thread may use these.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace quellsig::libcrypto {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// Leaves the calling thread's libcrypto error queue empty after a failure, so
// a later unrelated call does not report a stale error.
template <typename T>
T failed(T result) {
  ERR_clear_error();
  return result;
}

}  // namespace quellsig::libcrypto
