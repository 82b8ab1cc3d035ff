#include "engine/rsa_keygen.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <new>

#include "engine/libcrypto_handles.h"

namespace quellsig {

using libcrypto::BioPtr;
using libcrypto::failed;
using libcrypto::PkeyCtxPtr;

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

}  // namespace quellsig
