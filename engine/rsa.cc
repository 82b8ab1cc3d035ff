#include "engine/rsa.h"

#include <openssl/evp.h>

#include <new>
#include <optional>

#include "engine/libcrypto_handles.h"
#include "engine/rsa_public_key.h"

namespace quellsig {
using libcrypto::failed;
using libcrypto::MdCtxPtr;

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

std::optional<unsigned> rsaKeyBits(const PrivateKey& key) {
  return key.rsa ? rsaKeyBits(*key.rsa) : std::nullopt;
}

}  // namespace quellsig
