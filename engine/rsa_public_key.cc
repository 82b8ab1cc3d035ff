#include "engine/rsa_public_key.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "engine/base64.h"

namespace quellsig {
namespace {

using Rejected = std::unexpected<std::string_view>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

KeyVerifyResult rejected(std::string_view reason) {
  return {KeyVerifyResult::Status::Rejected, reason};
}

}  // namespace

std::expected<DecodedRsaKey, std::string_view> decodeRsaPublicKey(std::string_view p_text) {
  Result<std::vector<std::uint8_t>> der = decodeBase64Tag(p_text);
  if (!der) return Rejected("crypto verify error");
  const unsigned char* p = der->data();
  EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der->size())));
  if (!key) return Rejected("unusable public key");
  int bits = EVP_PKEY_get_bits(key.get());
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || bits <= 0) {
    return Rejected("p= is not an RSA key");
  }
  return DecodedRsaKey{std::move(key), static_cast<unsigned>(bits)};
}

KeyVerifyResult verifyRsaSignature(evp_pkey_st& key, std::span<const std::uint8_t> signature,
                                   std::string_view header_hash_input) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) return rejected("crypto verify error");
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, &key) != 1 ||
      EVP_DigestVerifyUpdate(ctx.get(), header_hash_input.data(), header_hash_input.size()) != 1) {
    return rejected("crypto verify error");
  }
  int ok = EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size());
  return {ok == 1 ? KeyVerifyResult::Status::Verified : KeyVerifyResult::Status::NotVerified, {}};
}

}  // namespace quellsig
