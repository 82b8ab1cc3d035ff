#include "tools/genkey/genkey.h"

#include <array>
#include <charconv>
#include <functional>
#include <new>
#include <string>

#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/key_loading.h"
#include "engine/rsa_keygen.h"
#include "engine/secure_zero.h"
#include "platform/exclusive_file.h"
#include "platform/random.h"
#include "tools/common/option_table.h"
#include "tools/genkey/dns_record.h"

namespace quellsig {
namespace {

constexpr std::string_view kProgram = "quellsig-genkey";
constexpr std::size_t kMaxPath = 1024;

constexpr std::string_view kUsage =
    "Usage: quellsig-genkey [options]\n"
    "\n"
    "Generate a DKIM keypair and write a BIND9-compatible DNS zone fragment.\n"
    "\n"
    "Options:\n"
    "  -a <algorithm>   rsa (default) or ed25519\n"
    "  -b <bits>        RSA key size: 2048 (default) or 4096; minimum 1024\n"
    "  -s <selector>    DKIM selector name (required)\n"
    "  -d <domain>      Domain name (required)\n"
    "  -o <path>        Output private key file (required)\n"
    "  -h               Show this help\n"
    "\n"
    "The DNS record is written to a .dns file beside the private key (e.g.\n"
    "test2026.key produces test2026.dns). The file can be $INCLUDEd or pasted\n"
    "into a BIND9 zone. RSA records are split into <=255-byte strings as\n"
    "required by RFC 1035 section 3.3.\n";

struct Options {
  std::string_view algorithm = "rsa";
  int bits = 2048;
  std::optional<std::string_view> selector, domain, output;
};

// A failed run: the exit status has been decided and its line written.
struct Exit {
  int status;
};

class Run {
 public:
  Run(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  Exit end(std::string_view message) {
    err_ << kProgram << ": " << message << '\n';
    return Exit{2};
  }
  Exit internal(Error e) {
    err_ << "error: " << errorName(e) << '\n';
    return Exit{1};
  }
  // Writes a detail line built by `detail` to standard error; if it cannot be
  // built, the run ends with `fallback` instead. Returns false in that case.
  bool note(const std::function<std::string()>& detail) {
    try {
      err_ << detail() << '\n';
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  Exit noteThenEnd(const std::function<std::string()>& detail, std::string_view message,
                   std::string_view fallback) {
    return end(note(detail) ? message : fallback);
  }

  std::ostream& out() { return out_; }

 private:
  std::ostream& out_;
  std::ostream& err_;
};

std::string withError(std::string_view prefix, std::string_view path, Error e) {
  std::string s(prefix);
  s.append(path).append(": ").append(errorName(e));
  return s;
}

Result<platform::UniqueFd> createNew(std::string_view path, unsigned mode) {
  if (path.size() >= kMaxPath) return fail(Error::NameTooLong);
  return platform::createExclusiveFile(path, mode);
}

constexpr OptionRow<Options> kOptions[] = {
    {"-a", true, "missing argument for -a", storeValue<&Options::algorithm>},
    {"-b", true, "missing argument for -b",
     [](Options& o, std::string_view v) -> OptionRefusal {
       std::optional<int> bits = parseBits(v);
       if (!bits) return "invalid -b value";
       o.bits = *bits;
       return std::nullopt;
     }},
    {"-s", true, "missing argument for -s", storeValue<&Options::selector>},
    {"-d", true, "missing argument for -d", storeValue<&Options::domain>},
    {"-o", true, "missing argument for -o", storeValue<&Options::output>},
};

std::optional<Exit> parseArguments(std::span<const std::string_view> args, Options& opts, Run& run,
                                   bool& help) {
  auto parsed = parseOptionTable<Options>(args, kOptions, opts);
  if (parsed) return std::nullopt;
  const OptionStop& stop = parsed.error();
  switch (stop.kind) {
    case OptionStop::Kind::Help:
      help = true;
      return std::nullopt;
    case OptionStop::Kind::Unknown:
    case OptionStop::Kind::Extra:
      if (!run.note([&] { return "unknown option: " + std::string(stop.argument); })) {
        return run.internal(Error::OutOfMemory);
      }
      return run.end("use -h for help");
    case OptionStop::Kind::Refused:
      break;
  }
  return run.end(stop.text);
}

std::optional<Exit> validate(const Options& opts, Run& run) {
  // An empty selector or domain would give an owner name with an empty label.
  if (!opts.selector || opts.selector->empty()) return run.end("-s <selector> is required");
  if (!opts.domain || opts.domain->empty()) return run.end("-d <domain> is required");
  if (!opts.output) return run.end("-o <output-path> is required");
  if (opts.algorithm != "rsa" && opts.algorithm != "ed25519") {
    return run.end("unsupported algorithm (use 'rsa' or 'ed25519')");
  }
  if (opts.algorithm != "rsa") return std::nullopt;
  if (opts.bits < 1024) {
    return run.noteThenEnd(
        [&] {
          return "-b " + std::to_string(opts.bits) +
                 " is below the RFC 8301 3.2 minimum of 1024; every verifier would reject "
                 "signatures from this key";
        },
        "refusing to generate an unusable key", "RSA key size is too small");
  }
  if (opts.bits < 2048 && !run.note([&] {
        return "warning: -b " + std::to_string(opts.bits) +
               " is below the 2048 bits RFC 8301 3.2 recommends";
      })) {
    return run.end("could not format warning");
  }
  return std::nullopt;
}

Result<platform::UniqueFd> createKeyFile(std::string_view path, Run& run, Exit& exit) {
  auto fd = createNew(path, 0600);
  if (fd) return fd;
  if (fd.error() == Error::PathAlreadyExists) {
    exit = run.noteThenEnd(
        [&] {
          return std::string(path) +
                 " already exists; refusing to replace a private key that "
                 "may be in use";
        },
        "refusing to overwrite an existing key", "the output path already exists");
  } else {
    exit = run.noteThenEnd([&] { return withError("could not create ", path, fd.error()); },
                           "could not create the key file", "could not create the key file");
  }
  return fd;
}

// A private key cut off by a failed write would block the rerun ("already
// exists") and fail to load later; the file is ours, made moments ago.
Exit discardKeyFile(platform::UniqueFd& fd, std::string_view path, Error e, Run& run) {
  fd.reset();
  (void)platform::removeFile(path);
  return run.internal(e);
}

std::optional<Exit> writeDnsFile(const std::string& dns_path, const std::string& text, Run& run) {
  auto fd = createNew(dns_path, 0644);
  if (!fd) {
    if (fd.error() == Error::PathAlreadyExists) {
      return run.noteThenEnd(
          [&] {
            return dns_path +
                   " already exists; refusing to replace a DNS record file that may be in use";
          },
          "refusing to overwrite an existing DNS record file",
          "the DNS record file already exists");
    }
    return run.noteThenEnd([&] { return withError("could not create ", dns_path, fd.error()); },
                           "could not create the DNS record file",
                           "could not create the DNS record file");
  }
  if (auto w = platform::writeAll(fd->get(), text); !w) {
    // A cut-off record must not be mistaken for a complete one, nor block a
    // rerun; the file is ours, made moments ago.
    fd->reset();
    (void)platform::removeFile(dns_path);
    return run.noteThenEnd([&] { return withError("could not write ", dns_path, w.error()); },
                           "could not write the DNS record file",
                           "could not write the DNS record file");
  }
  return std::nullopt;
}

std::optional<Exit> generateRsa(const Options& opts, const std::string& dns_path, Run& run) {
  auto key = generateRsaKey(opts.bits);
  if (!key) return run.internal(key.error());
  Exit exit{2};
  auto fd = createKeyFile(*opts.output, run, exit);
  if (!fd) return exit;
  if (auto w = writeRsaPrivateKeyPem(*key, fd->get()); !w) {
    return discardKeyFile(*fd, *opts.output, w.error(), run);
  }
  auto der = rsaPublicKeyDer(*key);
  if (!der) return run.internal(der.error());
  const std::string text =
      dnsRecordText(*opts.selector, *opts.domain, opts.algorithm, opts.bits, base64Encode(*der));
  if (auto failed = writeDnsFile(dns_path, text, run)) return failed;
  run.out() << "Private key written to: " << *opts.output << '\n'
            << "DNS record written to:  " << dns_path << '\n'
            << "Algorithm: rsa, " << opts.bits << " bits\n";
  return std::nullopt;
}

// Holds the seed and its base64 text, and wipes both however the run ends.
struct SeedMaterial {
  std::array<std::uint8_t, 32> seed{};
  std::string text;
  ~SeedMaterial() {
    secureZero(seed.data(), seed.size());
    secureZero(text.data(), text.size());
  }
};

std::optional<Exit> generateEd25519(const Options& opts, const std::string& dns_path, Run& run) {
  SeedMaterial material;
  platform::secureRandomBytes(material.seed);
  auto key = ed25519KeyFromSeed(material.seed);
  if (!key) return run.internal(key.error());

  Exit exit{2};
  auto fd = createKeyFile(*opts.output, run, exit);
  if (!fd) return exit;
  material.text = base64Encode(material.seed);
  for (std::string_view part :
       {kEd25519SeedBegin, std::string_view("\n"), std::string_view(material.text),
        std::string_view("\n"), kEd25519SeedEnd, std::string_view("\n")}) {
    if (auto w = platform::writeAll(fd->get(), part); !w) {
      return discardKeyFile(*fd, *opts.output, w.error(), run);
    }
  }
  const std::string text = dnsRecordText(*opts.selector, *opts.domain, opts.algorithm, std::nullopt,
                                         base64Encode(key->ed25519_public));
  if (auto failed = writeDnsFile(dns_path, text, run)) return failed;
  run.out() << "Private key written to: " << *opts.output << '\n'
            << "DNS record written to:  " << dns_path << '\n'
            << "Algorithm: Ed25519-SHA256\n";
  return std::nullopt;
}

}  // namespace

std::optional<int> parseBits(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      const bool between = i > 0 && i + 1 < text.size() && text[i - 1] != '_' &&
                           text[i + 1] >= '0' && text[i + 1] <= '9';
      if (!between) return std::nullopt;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int>(value);
}

int runGenkey(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  Run run(out, err);
  try {
    Options opts;
    bool help = false;
    if (auto failed = parseArguments(args, opts, run, help)) return failed->status;
    if (help) {
      out << kUsage;
      return 0;
    }
    if (auto failed = validate(opts, run)) return failed->status;
    const std::string dns_path = dnsRecordPath(*opts.output);
    auto failed = opts.algorithm == "rsa" ? generateRsa(opts, dns_path, run)
                                          : generateEd25519(opts, dns_path, run);
    return failed ? failed->status : 0;
  } catch (const std::bad_alloc&) {
    return run.internal(Error::OutOfMemory).status;
  }
}

}  // namespace quellsig
