#include "engine/rsa.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <new>
#include <optional>

#include "engine/rsa_keygen.h"
#include "engine/rsa_public_key.h"
#include "engine/verification.h"

namespace quellsig {
namespace {

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

}  // namespace

void EvpPkeyFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

Result<std::vector<std::uint8_t>> rsaSign(const PrivateKey& key, std::string_view input) {
  if (!key.rsa) return fail(Error::SignInitFailed);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) return failed(fail(Error::CtxCreateFailed));
  if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.rsa.get()) != 1) {
    return failed(fail(Error::SignInitFailed));
  }
  if (EVP_DigestSignUpdate(ctx.get(), input.data(), input.size()) != 1) {
    return failed(fail(Error::SignUpdateFailed));
  }
  std::size_t len = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &len) != 1) {
    return failed(fail(Error::SignFinalFailed));
  }
  try {
    std::vector<std::uint8_t> sig(len);
    if (EVP_DigestSignFinal(ctx.get(), sig.data(), &len) != 1) {
      return failed(fail(Error::SignFinalFailed));
    }
    sig.resize(len);
    return sig;
  } catch (const std::bad_alloc&) {
    return failed(fail(Error::OutOfMemory));
  }
}

namespace {

Result<PrivateKey> rsaPrivateKey(Result<EvpPkeyPtr> pkey) {
  if (!pkey) return fail(pkey.error());
  std::optional<unsigned> bits = rsaKeyBits(**pkey);
  if (!bits || *bits == 0) return fail(Error::NotRsaKey);
  if (*bits < kRsaMinimumKeyBits) return fail(Error::RsaKeyTooSmall);
  PrivateKey key;
  key.rsa = std::move(*pkey);
  return key;
}

}  // namespace

Result<PrivateKey> rsaLoadPemFile(std::string_view path) { return rsaPrivateKey(readPemKey(path)); }

Result<PrivateKey> rsaLoadPemDescriptor(int fd) { return rsaPrivateKey(readPemKey(fd)); }

Result<PrivateKey> generateRsaKey(int bits) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  if (!ctx) return failed(fail(Error::KeygenCtxFailed));
  if (EVP_PKEY_keygen_init(ctx.get()) != 1) return failed(fail(Error::KeygenInitFailed));
  if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1) {
    return failed(fail(Error::KeygenBitsFailed));
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    EVP_PKEY_free(raw);
    return failed(fail(Error::KeygenFailed));
  }
  PrivateKey key;
  key.rsa.reset(raw);
  return key;
}

Result<void> writeRsaPrivateKeyPem(const PrivateKey& key, int fd) {
  if (!key.rsa) return fail(Error::KeyWriteFailed);
  BioPtr bio(BIO_new_fd(fd, BIO_NOCLOSE));
  if (!bio) return failed(fail(Error::FileCreateFailed));
  if (PEM_write_bio_PrivateKey(bio.get(), key.rsa.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      BIO_flush(bio.get()) != 1) {
    return failed(fail(Error::KeyWriteFailed));
  }
  return {};
}

Result<std::vector<std::uint8_t>> rsaPublicKeyDer(const PrivateKey& key) {
  if (!key.rsa) return fail(Error::PubkeyExportFailed);
  const int len = i2d_PUBKEY(key.rsa.get(), nullptr);
  if (len < 1) return failed(fail(Error::PubkeyExportFailed));
  try {
    std::vector<std::uint8_t> der(static_cast<std::size_t>(len));
    unsigned char* out = der.data();
    if (i2d_PUBKEY(key.rsa.get(), &out) != len) return failed(fail(Error::PubkeyExportFailed));
    return der;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

int rsaKeyBits(const PrivateKey& key) {
  return key.rsa ? static_cast<int>(rsaKeyBits(*key.rsa).value_or(0)) : 0;
}

}  // namespace quellsig
