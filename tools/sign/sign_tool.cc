#include "tools/sign/sign_tool.h"

#include <array>
#include <new>
#include <optional>
#include <string>

#include "engine/base64.h"
#include "engine/canonicalization.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/message.h"
#include "engine/secure_zero.h"
#include "engine/signer.h"
#include "engine/tag_list.h"
#include "platform/file.h"
#include "tools/common/option_table.h"

namespace quellsig {
namespace {

constexpr std::string_view kUsage =
    "Usage: quellsig-sign [options] <message-file>\n"
    "\n"
    "Sign an RFC 5322 message with the same code path the milter uses, and write\n"
    "the signed message (DKIM-Signature prepended) to stdout.\n"
    "\n"
    "Required:\n"
    "  -d <domain>      Signing domain (d=)\n"
    "  -s <selector>    Selector (s=)\n"
    "  -k <file>        Private key: PEM for rsa-sha256; for ed25519-sha256 the\n"
    "                   base64 32-byte seed, bare or as quellsig-genkey writes it\n"
    "\n"
    "Options:\n"
    "  -a <algorithm>   rsa-sha256 (default) or ed25519-sha256\n"
    "  -c <canon>       Canonicalization, e.g. relaxed/relaxed (default),\n"
    "                   simple/simple, relaxed/simple, simple/relaxed\n"
    "  --headers <list> Colon-separated h= list\n"
    "                   (default: from:to:subject:date:message-id)\n"
    "  --oversign <list> Colon-separated names to list once more than the message\n"
    "                   contains them, so a later addition breaks the signature\n"
    "                   (default: from; empty string disables)\n"
    "  -l               Include l= covering the whole canonicalized body\n"
    "  --no-timestamp   Omit t=, so output is byte-stable across runs\n"
    "  --no-normalize   Do not rewrite bare CR/LF in the file to CRLF\n"
    "  -h, --help       Show this help\n"
    "\n"
    "Note: -h is help, not the h= list, matching quellsig-check and the other\n"
    "tools. Two other widely used DKIM signers spell the h= list option -h; we use\n"
    "--headers rather than letting -h quietly mean something different.\n"
    "\n"
    "Exit status is 0 on success, 2 on any error, with a message on stderr.\n";

constexpr std::size_t kMaxSeedFileBytes = 65536;
constexpr std::size_t kMaxRsaKeyPathBytes = 1024;

struct Options {
  std::optional<std::string_view> domain, selector, key_file, message_file;
  SignatureAlgorithm algorithm = SignatureAlgorithm::RsaSha256;
  CanonicalizationPair canon{Canonicalization::Relaxed, Canonicalization::Relaxed};
  std::string_view headers = kDefaultSignedHeaders;
  std::string_view oversign = kDefaultOversignHeaders;
  bool body_length = false;
  bool timestamp = true;
  bool normalize = true;
  bool help = false;
};

// A failure that ends the tool with its message.
struct Failure {
  std::string_view message;
};

template <typename T>
using Step = std::expected<T, Failure>;

std::unexpected<Failure> stop(std::string_view message) {
  return std::unexpected<Failure>(Failure{message});
}

OptionRefusal setAlgorithm(Options& o, std::string_view v) {
  auto alg = parseAlgorithmName(v);
  if (!alg) return "unknown algorithm";
  o.algorithm = *alg;
  return std::nullopt;
}

OptionRefusal setCanonicalization(Options& o, std::string_view v) {
  auto pair = parseCanonicalizationPair(v);
  if (!pair) return "unknown canonicalization";
  o.canon = *pair;
  return std::nullopt;
}

constexpr OptionRow<Options> kOptions[] = {
    {"-d", true, "-d needs a value", storeValue<&Options::domain>},
    {"-s", true, "-s needs a value", storeValue<&Options::selector>},
    {"-k", true, "-k needs a value", storeValue<&Options::key_file>},
    {"-a", true, "-a needs a value", setAlgorithm},
    {"-c", true, "-c needs a value", setCanonicalization},
    {"--headers", true, "--headers needs a value", storeValue<&Options::headers>},
    {"--oversign", true, "--oversign needs a value", storeValue<&Options::oversign>},
    {"-l", false, {}, setFlag<&Options::body_length, true>},
    {"--no-timestamp", false, {}, setFlag<&Options::timestamp, false>},
    {"--no-normalize", false, {}, setFlag<&Options::normalize, false>},
};

Step<Options> parseArguments(std::span<const std::string_view> args) {
  Options o;
  // A later message file replaces an earlier one.
  auto parsed = parseOptionTable<Options>(args, kOptions, o, [](Options& opts, std::string_view f) {
    opts.message_file = f;
    return true;
  });
  if (!parsed) {
    switch (parsed.error().kind) {
      case OptionStop::Kind::Help:
        o.help = true;
        return o;
      case OptionStop::Kind::Unknown:
      case OptionStop::Kind::Extra:
        return stop("unknown option (see --help)");
      case OptionStop::Kind::Refused:
        return stop(parsed.error().text);
    }
  }
  if (!o.message_file) return stop("a message file is required (see --help)");
  if (!o.domain) return stop("-d <domain> is required");
  if (!o.selector) return stop("-s <selector> is required");
  if (!o.key_file) return stop("-k <keyfile> is required");
  return o;
}

Step<PrivateKey> loadRsaKey(std::string_view path) {
  if (path.size() >= kMaxRsaKeyPathBytes) return stop("could not load the RSA private key");
  auto key = loadPemPrivateKey(path);
  if (!key && key.error() == Error::KeyFilePermissionsTooOpen) {
    return stop("the RSA private key is readable beyond its owner; chmod 600 it");
  }
  if (!key) return stop("could not load the RSA private key");
  return std::move(*key);
}

Step<PrivateKey> loadEd25519Seed(std::string_view path) {
  auto text = platform::readWholeFile(path, kMaxSeedFileBytes);
  if (!text) return stop("could not read the key file");
  // Both the bare base64 of the seed and the armoured file the key generator
  // writes; decodeBase64Tag drops every space, tab, CR and LF.
  std::optional<std::string_view> base64 = ed25519SeedBase64(*text);
  auto seed = base64 ? decodeBase64Tag(*base64)
                     : Result<std::vector<std::uint8_t>>(fail(Error::InvalidArgument));
  secureZero(text->data(), text->size());
  if (!seed) return stop("Ed25519 key file is not valid base64");
  if (seed->size() != 32) {
    secureZero(seed->data(), seed->size());
    return stop("an Ed25519 seed must be exactly 32 bytes");
  }
  auto key = ed25519KeyFromSeed(std::span<const std::uint8_t, 32>(seed->data(), 32));
  secureZero(seed->data(), seed->size());
  if (!key) return stop("the Ed25519 seed does not yield a usable key");
  return std::move(*key);
}

bool writeAll(std::FILE* out, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

Step<void> run(const Options& o, std::FILE* out) {
  auto file = platform::readWholeFile(*o.message_file, kMaxMessageFileBytes);
  if (!file) return stop("could not read the message file");
  std::string text = std::move(*file);
  if (o.normalize) {
    auto normalized = normalizeLineEndings(text);
    if (!normalized) return stop("could not parse the message");
    text = std::move(*normalized);  // frees the file buffer
  }
  auto message = parseMessage(text);
  if (!message) return stop("could not parse the message");
  auto raw_headers = buildRawHeaderList(*message);
  if (!raw_headers) return stop("could not parse the message");

  auto key = o.algorithm == SignatureAlgorithm::RsaSha256 ? loadRsaKey(*o.key_file)
                                                          : loadEd25519Seed(*o.key_file);
  if (!key) return std::unexpected(key.error());

  auto body_hash = signingBodyHash(message->body, o.canon.body);
  if (!body_hash) return stop("body canonicalization failed");

  SigningRequest request;
  request.domain = *o.domain;
  request.selector = *o.selector;
  request.key = &*key;
  request.algorithm = o.algorithm;
  request.header_canonicalization = o.canon.header;
  request.body_canonicalization = o.canon.body;
  request.signed_headers = o.headers;
  request.oversign_headers = o.oversign;
  request.include_timestamp = o.timestamp;
  request.include_body_length = o.body_length;
  auto field = signMessage(*message, *raw_headers, request, *body_hash);
  if (!field) return stop("signing failed");

  if (!writeAll(out, *field) || !writeAll(out, "\r\n") || !writeAll(out, text) ||
      std::fflush(out) != 0) {
    return stop(kSignWriteFailure);
  }
  return {};
}

}  // namespace

int runSignTool(std::span<const std::string_view> args, std::FILE* out, std::FILE* err) {
  std::string_view message;
  try {
    auto options = parseArguments(args);
    if (options && options->help) {
      if (!writeAll(out, kUsage) || std::fflush(out) != 0) return 2;
      return 0;
    }
    if (!options) {
      message = options.error().message;
    } else if (auto r = run(*options, out); !r) {
      message = r.error().message;
    } else {
      return 0;
    }
  } catch (const std::bad_alloc&) {
    message = "out of memory";
  }
  std::fprintf(err, "quellsig-sign: %.*s\n", static_cast<int>(message.size()), message.data());
  return 2;
}

}  // namespace quellsig
