#include "engine/public_key_export.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

namespace quellsig {

Result<EvpPkeyPtr> readPemKey(std::string_view path) {
  if (path.size() >= 4096) return fail(Error::PathTooLong);
  std::string cpath(path);  // libcrypto wants a terminated path
  BIO* bio = BIO_new_file(cpath.c_str(), "r");
  if (bio == nullptr) return fail(Error::FileOpenFailed);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr) return fail(Error::KeyParseFailed);
  return EvpPkeyPtr(key);
}

std::optional<unsigned> rsaKeyBits(evp_pkey_st& key) {
  if (EVP_PKEY_get_base_id(&key) != EVP_PKEY_RSA) return std::nullopt;
  int bits = EVP_PKEY_get_bits(&key);
  return bits > 0 ? static_cast<unsigned>(bits) : 0U;
}

Result<std::vector<std::uint8_t>> exportPublicKeyDer(evp_pkey_st& key) {
  int len = i2d_PUBKEY(&key, nullptr);
  if (len <= 0) return fail(Error::PubkeyExportFailed);
  std::vector<std::uint8_t> der(static_cast<std::size_t>(len));
  unsigned char* p = der.data();
  if (i2d_PUBKEY(&key, &p) != len) return fail(Error::PubkeyExportFailed);
  return der;
}

}  // namespace quellsig
