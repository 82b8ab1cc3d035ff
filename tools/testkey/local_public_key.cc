#include "tools/testkey/local_public_key.h"

#include <span>
#include <string>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/rsa_keygen.h"
#include "engine/rsa_public_key.h"
#include "engine/secure_zero.h"
#include "engine/verification.h"
#include "platform/file.h"

namespace quellsig {
namespace {

constexpr std::size_t kMaxSeedPath = 1024;
constexpr std::size_t kMaxSeedFile = 4096;
constexpr std::size_t kMaxModeCheckPath = 1024;

// Overwrites a secret buffer when it goes out of scope, on every path.
template <typename Buffer>
class Zeroed {
 public:
  explicit Zeroed(Buffer& b) : b_(b) {}
  Zeroed(const Zeroed&) = delete;
  Zeroed& operator=(const Zeroed&) = delete;
  ~Zeroed() { secureZero(b_.data(), b_.size()); }

 private:
  Buffer& b_;
};

Result<std::string_view> armouredBody(std::string_view text) {
  std::size_t open = text.find("-----\n");
  if (open == std::string_view::npos) return fail(Error::InvalidPem);
  std::size_t start = open + 6;
  std::size_t close = text.find("\n-----", start);
  if (close == std::string_view::npos) return fail(Error::InvalidPem);
  return text.substr(start, close - start);
}

}  // namespace

Result<std::vector<std::uint8_t>> ed25519SeedFilePublicKey(std::string_view path) {
  if (path.size() >= kMaxSeedPath) return fail(Error::PathTooLong);
  Result<std::string> file = platform::readWholeFile(path, kMaxSeedFile);
  if (!file) return fail(file.error());
  Zeroed zero_file(*file);
  Result<std::string_view> body = armouredBody(*file);
  if (!body) return fail(body.error());
  Result<std::vector<std::uint8_t>> seed = decodeBase64Tag(*body);
  if (!seed) return fail(seed.error());
  Zeroed zero_seed(*seed);
  if (seed->size() != 32) return fail(Error::InvalidSeedLength);
  Result<PrivateKey> key = ed25519KeyFromSeed(std::span<const std::uint8_t, 32>(seed->data(), 32));
  if (!key) return fail(key.error());
  return std::vector<std::uint8_t>(key->ed25519_public.begin(), key->ed25519_public.end());
}

Result<std::vector<std::uint8_t>> rsaPemFilePublicKey(std::string_view path,
                                                      std::ostream& warnings) {
  Result<EvpPkeyPtr> key = readPemKey(path);
  if (!key) return fail(key.error());
  if (path.size() < kMaxModeCheckPath) {
    Result<unsigned> mode = platform::filePermissionBits(path);
    if (mode && (*mode & 077) != 0) {
      warnings << "warning: " << path << " is mode " << std::oct << (*mode & 07777) << std::dec
               << ", readable beyond its owner: chmod 600 and chown it to the user the daemon "
                  "drops to.\n"
               << "         quellsig will refuse to load it as it stands.\n";
    }
  }
  if (std::optional<unsigned> bits = rsaKeyBits(**key); bits && *bits < kRsaMinimumKeyBits) {
    warnings << "warning: this key is " << *bits
             << " bits. RFC 8301 3.2 requires at least 1024, and a\n"
             << "         conformant verifier treats anything signed with it as permanently\n"
             << "         failed. Generate a 2048-bit key instead.\n";
  }
  PrivateKey holder;
  holder.rsa = std::move(*key);
  return rsaPublicKeyDer(holder);
}

}  // namespace quellsig
