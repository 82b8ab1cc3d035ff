#include "engine/key_loading.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <new>
#include <string>

#include "engine/libcrypto_handles.h"
#include "engine/rsa_public_key.h"
#include "engine/tag_list.h"
#include "platform/file.h"

namespace quellsig {
namespace {

int noPassphrase(char*, int, int, void*) { return -1; }

// Takes the BIO, which it frees.
Result<EvpPkeyPtr> readPemBio(BIO* raw) {
  libcrypto::BioPtr bio(raw);
  if (!bio) return libcrypto::failed(fail(Error::FileOpenFailed));
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
  if (!key) return libcrypto::failed(fail(Error::KeyParseFailed));
  return key;
}

// The descriptor stays the caller's; the key is read from its current offset.
Result<PrivateKey> rsaLoadPemDescriptor(int fd) {
  Result<EvpPkeyPtr> pkey = readPemBio(BIO_new_fd(fd, BIO_NOCLOSE));
  if (!pkey) return fail(pkey.error());
  std::optional<unsigned> bits = rsaKeyBits(**pkey);
  if (!bits) return fail(Error::NotRsaKey);
  if (*bits < kRsaMinimumKeyBits) return fail(Error::RsaKeyTooSmall);
  PrivateKey key;
  key.rsa = std::move(*pkey);
  return key;
}

}  // namespace

Result<PrivateKey> loadPemPrivateKey(std::string_view path) {
  if (path.size() >= 4096) return fail(Error::PathTooLong);
  // One descriptor for the mode check and the read, so the file checked is
  // the file read.
  auto file = platform::openRegularFile(path);
  if (!file) return fail(file.error() == Error::AccessDenied ? Error::FileOpenFailed : file.error());
  if ((file->permission_bits & 077) != 0) return fail(Error::KeyFilePermissionsTooOpen);
  try {
    return rsaLoadPemDescriptor(file->fd.get());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<EvpPkeyPtr> readPemKey(std::string_view path) {
  if (path.size() >= 4096) return fail(Error::PathTooLong);
  std::string terminated(path);
  return readPemBio(BIO_new_file(terminated.c_str(), "r"));
}

std::optional<std::string_view> ed25519SeedBase64(std::string_view text) {
  std::string_view rest = trimFoldingSpace(text);
  if (!rest.starts_with(kEd25519SeedBegin)) return text;
  rest.remove_prefix(kEd25519SeedBegin.size());
  if (!rest.ends_with(kEd25519SeedEnd)) return std::nullopt;
  rest.remove_suffix(kEd25519SeedEnd.size());
  return rest;
}

}  // namespace quellsig
