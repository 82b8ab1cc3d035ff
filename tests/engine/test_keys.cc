#include "tests/engine/test_keys.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>

namespace quellsig::testing {
namespace {

EvpPkeyPtr orDie(EVP_PKEY* key) {
  if (key == nullptr) std::abort();
  return EvpPkeyPtr(key);
}

}  // namespace

EvpPkeyPtr makeRsaKey(int bits) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_keygen_init(ctx) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) != 1 || EVP_PKEY_keygen(ctx, &key) != 1) {
    std::abort();
  }
  EVP_PKEY_CTX_free(ctx);
  return orDie(key);
}

EvpPkeyPtr makeEcKey() { return orDie(EVP_EC_gen("P-256")); }

EvpPkeyPtr makeEd25519Pkey() { return orDie(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

std::string pemPrivateKey(evp_pkey_st* key, const std::string& passphrase) {
  BIO* bio = BIO_new(BIO_s_mem());
  const EVP_CIPHER* cipher = passphrase.empty() ? nullptr : EVP_aes_256_cbc();
  auto* pass = reinterpret_cast<unsigned char*>(const_cast<char*>(passphrase.data()));
  if (bio == nullptr ||
      PEM_write_bio_PrivateKey(bio, key, cipher, pass, static_cast<int>(passphrase.size()), nullptr,
                               nullptr) != 1) {
    std::abort();
  }
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  return text;
}

PrivateKey rsaPrivateKey(evp_pkey_st* key) {
  if (EVP_PKEY_up_ref(key) != 1) std::abort();
  PrivateKey handle;
  handle.rsa.reset(key);
  return handle;
}

std::vector<std::uint8_t> publicKeyDer(evp_pkey_st* key) {
  int len = i2d_PUBKEY(key, nullptr);
  if (len < 1) std::abort();
  std::vector<std::uint8_t> der(static_cast<std::size_t>(len));
  unsigned char* out = der.data();
  i2d_PUBKEY(key, &out);
  return der;
}

}  // namespace quellsig::testing
