#include "engine/rsa_public_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <new>
#include <string>

#include "engine/base64.h"
#include "engine/libcrypto_handles.h"

namespace quellsig {
namespace {

using Rejected = std::unexpected<std::string_view>;

Rejected rejectedKey(std::string_view reason) {
  ERR_clear_error();
  return Rejected(reason);
}

KeyVerifyResult rejected(std::string_view reason) {
  ERR_clear_error();
  return {KeyVerifyResult::Status::Rejected, reason};
}

// Declines to prompt for a passphrase, so encrypted keys fail to parse.
}  // namespace

std::expected<DecodedRsaKey, std::string_view> decodeRsaPublicKey(std::string_view p_text) {
  Result<std::vector<std::uint8_t>> der;
  try {
    der = decodeBase64Tag(p_text);
  } catch (const std::bad_alloc&) {
    der = fail(Error::OutOfMemory);
  }
  if (!der) return Rejected("crypto verify error");
  const unsigned char* p = der->data();
  EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der->size())));
  if (!key) return rejectedKey("unusable public key");
  int bits = EVP_PKEY_get_bits(key.get());
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || bits <= 0) {
    return rejectedKey("p= is not an RSA key");
  }
  return DecodedRsaKey{std::move(key), static_cast<unsigned>(bits)};
}

KeyVerifyResult verifyRsaSignature(evp_pkey_st& key, std::span<const std::uint8_t> signature,
                                   std::string_view header_hash_input) {
  libcrypto::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, &key) != 1 ||
      EVP_DigestVerifyUpdate(ctx.get(), header_hash_input.data(), header_hash_input.size()) != 1) {
    return rejected("crypto verify error");
  }
  if (EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size()) == 1) {
    return {KeyVerifyResult::Status::Verified, {}};
  }
  ERR_clear_error();
  return {KeyVerifyResult::Status::NotVerified, {}};
}

std::optional<unsigned> rsaKeyBits(evp_pkey_st& key) {
  if (EVP_PKEY_get_base_id(&key) != EVP_PKEY_RSA) return std::nullopt;
  int bits = EVP_PKEY_get_bits(&key);
  if (bits <= 0) return std::nullopt;  // an RSA key without a size is no usable RSA key
  return static_cast<unsigned>(bits);
}

}  // namespace quellsig
