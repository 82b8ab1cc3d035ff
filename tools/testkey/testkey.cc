#include "tools/testkey/testkey.h"

#include <string>
#include <vector>

#include "dns/settings.h"
#include "engine/base64.h"
#include "engine/key_record.h"
#include "engine/tag_list.h"
#include "tools/common/option_table.h"
#include "tools/testkey/key_tag_scan.h"
#include "tools/testkey/local_public_key.h"

namespace quellsig {
namespace {

constexpr std::string_view kUsage =
    "Usage: quellsig-testkey [options]\n"
    "\n"
    "Fetch a DKIM DNS key record and verify it matches a local private key.\n"
    "\n"
    "Options:\n"
    "  -s <selector>    DKIM selector name (required)\n"
    "  -d <domain>      Domain name (required)\n"
    "  -k <keyfile>     Private key file to compare against (required)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -h               Show this help\n"
    "\n"
    "Examples:\n"
    "  quellsig-testkey -s mail -d example.com -k /usr/local/etc/quellsig/keys/mail.key\n"
    "\n";

// Decimal 0 to 65535 with the tag-number spelling: one leading "+", "_"
// between digits, and "-" followed only by zeros and underscores meaning 0
// (the tag-number rule alone refuses underscores after the minus).
std::optional<std::uint16_t> parseToolPort(std::string_view s) {
  if (s.size() > 1 && s.front() == '-' && s.find('0') != std::string_view::npos &&
      s.find_first_not_of("0_", 1) == std::string_view::npos) {
    return 0;
  }
  Result<std::uint64_t> n = parseTagNumber(s);
  if (!n || *n > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(*n);
}

int fatal(std::ostream& err, std::string_view message) {
  err << "quellsig-testkey: " << message << '\n';
  return 2;
}

constexpr OptionRow<TestkeyOptions> kOptions[] = {
    {"-s", true, "missing argument for -s", storeValue<&TestkeyOptions::selector>},
    {"-d", true, "missing argument for -d", storeValue<&TestkeyOptions::domain>},
    {"-k", true, "missing argument for -k", storeValue<&TestkeyOptions::key_path>},
    {"-n", true, "missing argument for -n", storeValue<&TestkeyOptions::nameserver>},
    {"-p", true, "missing argument for -p",
     [](TestkeyOptions& o, std::string_view v) -> OptionRefusal {
       std::optional<std::uint16_t> port = parseToolPort(v);
       if (!port) return "invalid port";
       o.port = *port;
       return std::nullopt;
     }},
};

}  // namespace

std::expected<TestkeyOptions, std::string_view> parseTestkeyArgs(
    std::span<const std::string_view> args) {
  TestkeyOptions o;
  if (auto parsed = parseOptionTable<TestkeyOptions>(args, kOptions, o); !parsed) {
    switch (parsed.error().kind) {
      case OptionStop::Kind::Help:
        o.help = true;
        return o;
      case OptionStop::Kind::Unknown:
      case OptionStop::Kind::Extra:
        return std::unexpected(std::string_view("unknown option (use -h for help)"));
      case OptionStop::Kind::Refused:
        return std::unexpected(parsed.error().text);
    }
  }
  if (o.selector.empty()) return std::unexpected(std::string_view("-s <selector> is required"));
  if (o.domain.empty()) return std::unexpected(std::string_view("-d <domain> is required"));
  if (o.key_path.empty()) return std::unexpected(std::string_view("-k <keyfile> is required"));
  return o;
}

int runTestkey(std::span<const std::string_view> args, const KeyLookupFactory& make_lookup,
               std::ostream& out, std::ostream& err) {
  auto parsed = parseTestkeyArgs(args);
  if (!parsed) return fatal(err, parsed.error());
  const TestkeyOptions& o = *parsed;
  if (o.help) {
    out << kUsage;
    return 0;
  }

  std::string name = std::string(o.selector) + "._domainkey." + std::string(o.domain);
  Result<std::unique_ptr<KeyLookup>> lookup = make_lookup(o.nameserver, o.port);
  if (!lookup) {
    if (lookup.error() == Error::InvalidNameserver) {
      return fatal(err,
                   std::string(kInvalidNameserverMessage) + " (-n takes an IPv4 or IPv6 literal)");
    }
    err << "error: " << errorName(lookup.error()) << '\n';
    return 1;
  }
  Result<std::vector<KeyAnswer>> answers = (*lookup)->lookupKeyRecords(name);
  if (!answers) {
    err << "DNS lookup failed for " << name << '\n';
    return fatal(err, "cannot resolve DNS TXT record");
  }

  const KeyAnswer* record = nullptr;
  std::string_view published;
  for (const KeyAnswer& a : *answers) {
    if (a.type != kKeyAnswerTypeTxt) continue;
    std::optional<std::string_view> p = scanKeyTag(a.data, "p");
    if (p && !p->empty()) {
      record = &a;
      published = *p;
      break;
    }
  }
  if (record == nullptr) {
    err << "No key record found at " << name << '\n';
    return fatal(err, "key record not found or revoked (empty p=)");
  }
  std::string_view algorithm = scanKeyTag(record->data, "k").value_or("rsa");

  Result<std::vector<std::uint8_t>> local = algorithm == "ed25519"
                                                ? ed25519SeedFilePublicKey(o.key_path)
                                                : rsaPemFilePublicKey(o.key_path, err);
  if (!local) return fatal(err, "failed to load or parse private key file");
  std::string expected = base64Encode(*local);

  out << "quellsig-testkey: checking key " << name << '\n' << "  algorithm: " << algorithm << '\n';
  if (published == expected) {
    out << "  result: PASS \u2014 DNS public key matches local private key\n";
    return 0;
  }
  out.flush();
  err << "  result: FAIL \u2014 DNS public key does NOT match local private key\n";
  return 1;
}

}  // namespace quellsig
