#include "tools/check/check.h"

#include <new>
#include <string>
#include <vector>

#include "dns/settings.h"
#include "engine/message.h"
#include "engine/public_key_cache.h"
#include "engine/tag_list.h"
#include "engine/verifier.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "tools/common/option_table.h"

namespace quellsig {
namespace {

constexpr std::string_view kUsage =
    "Usage: quellsig-check [options] <message-file>\n"
    "\n"
    "Verify every DKIM-Signature on an RFC 5322 message and print the result of\n"
    "each as key=value lines on stdout.\n"
    "\n"
    "Options:\n"
    "  -f <file>        Message file (may also be given positionally)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -b <bits>        Minimum RSA key bits accepted (default: RFC 8301 floor)\n"
    "  --max-key-records <n>\n"
    "                   Key records tried at one selector (default: 3)\n"
    "  -m <ms>            Wall-clock budget for the whole evaluation (default:\n"
    "                   20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  --refuse-l       Report `policy` for signatures carrying l= instead of\n"
    "                   honouring it (RFC 6376 \u00a78.2 sanctions either)\n"
    "  --no-normalize   Do not rewrite bare CR/LF in the file to CRLF. Use when\n"
    "                   the file is already CRLF-canonical and a bare CR or LF\n"
    "                   is body *data* that canonicalization must not touch\n"
    "  -h               Show this help\n"
    "\n"
    "Output keys:\n"
    "  signatures            Count of DKIM-Signature fields found\n"
    "  sig.<n>.result        pass, fail, temperror, permerror, neutral, policy\n"
    "  sig.<n>.domain        the signature's d= tag\n"
    "  sig.<n>.selector      the signature's s= tag\n"
    "  sig.<n>.reason        failure detail, when the verifier supplied one\n"
    "  sig.<n>.unsigned      octets of body the signature does not cover (l=)\n"
    "  result                pass if any signature passed, else the first\n"
    "                        signature's result, else none\n"
    "\n"
    "Exit status is 0 whenever a verdict was reached, including \"fail\" \u2014 the\n"
    "verdict goes to stdout. A non-zero status means the tool could not run.\n";

constexpr std::string_view kDeadlineNote =
    "evaluation deadline exceeded; remaining signatures not verified";

using ParseError = std::unexpected<std::string_view>;

std::optional<std::uint64_t> unsignedInRange(std::string_view text, std::uint64_t max) {
  Result<std::uint64_t> n = parseTagNumber(text);
  if (!n || *n > max) return std::nullopt;
  return *n;
}

// -m: a signed 64-bit count with the tag-number spelling; a leading "-" makes
// it negative unless only zeros follow.
std::expected<std::int64_t, std::string_view> parseBudget(std::string_view text) {
  constexpr std::string_view kNotNumber = "-m must be a number of milliseconds";
  constexpr std::string_view kNegative =
      "-m must be 0 (disabled) or a positive number of milliseconds";
  bool negative = !text.empty() && text.front() == '-';
  // One sign at most: "--0" and "-+5" are no numbers.
  if (negative && text.size() > 1 && (text[1] == '+' || text[1] == '-')) {
    return ParseError(kNotNumber);
  }
  Result<std::uint64_t> magnitude = parseTagNumber(negative ? text.substr(1) : text);
  if (!magnitude) return ParseError(kNotNumber);
  if (negative) {
    if (*magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return ParseError(kNotNumber);
    if (*magnitude != 0) return ParseError(kNegative);
    return 0;
  }
  if (*magnitude > static_cast<std::uint64_t>(INT64_MAX)) return ParseError(kNotNumber);
  return static_cast<std::int64_t>(*magnitude);
}

struct Prepared {
  std::string text;
  Message message;
  std::vector<std::string> raw_headers;
};

std::expected<Prepared, std::string_view> prepareMessage(const CheckOptions& o) {
  constexpr std::string_view kUnreadable = "could not read the message file";
  constexpr std::string_view kUnparsable = "could not parse the message";
  Result<std::string> file = platform::readWholeFile(o.file, kMaxMessageFileBytes);
  if (!file) return ParseError(file.error() == Error::OutOfMemory ? kUnparsable : kUnreadable);
  Prepared p;
  if (o.normalize) {
    Result<std::string> normalized = normalizeLineEndings(*file);
    if (!normalized) return ParseError(kUnparsable);
    p.text = std::move(*normalized);
  } else {
    p.text = std::move(*file);
  }
  Result<Message> message = parseMessage(p.text);
  if (!message) return ParseError(kUnparsable);
  p.message = std::move(*message);
  Result<std::vector<std::string>> raw = buildRawHeaderList(p.message);
  if (!raw) return ParseError(kUnparsable);
  p.raw_headers = std::move(*raw);
  return p;
}

OptionRefusal setBudget(CheckOptions& o, std::string_view v) {
  auto budget = parseBudget(v);
  if (!budget) return budget.error();
  o.budget_ms = *budget;
  return std::nullopt;
}

constexpr OptionRow<CheckOptions> kOptions[] = {
    {"-f", true, "-f needs a value", storeValue<&CheckOptions::file>},
    {"-n", true, "-n needs a value", storeValue<&CheckOptions::nameserver>},
    {"-p", true, "-p needs a value",
     [](CheckOptions& o, std::string_view v) -> OptionRefusal {
       auto port = unsignedInRange(v, 65535);
       if (!port) return "invalid port";
       o.port = static_cast<std::uint16_t>(*port);
       return std::nullopt;
     }},
    {"-b", true, "-b needs a value",
     [](CheckOptions& o, std::string_view v) -> OptionRefusal {
       auto bits = unsignedInRange(v, UINT32_MAX);
       if (!bits) return "invalid bits";
       o.minimum_bits = static_cast<std::uint32_t>(*bits);
       return std::nullopt;
     }},
    {"--max-key-records", true, "--max-key-records needs a value",
     [](CheckOptions& o, std::string_view v) -> OptionRefusal {
       auto n = unsignedInRange(v, 255);
       if (!n) return "invalid --max-key-records";
       o.max_key_records = static_cast<std::uint8_t>(*n);
       return std::nullopt;
     }},
    {"-m", true, "-m needs a value", setBudget},
    {"--refuse-l", false, {}, setFlag<&CheckOptions::refuse_body_length, true>},
    {"--no-normalize", false, {}, setFlag<&CheckOptions::normalize, false>},
};

int usageError(std::ostream& err, std::string_view message) {
  err << "quellsig-check: " << message << '\n';
  return 2;
}

}  // namespace

std::expected<CheckOptions, std::string> parseCheckArgs(std::span<const std::string_view> args) {
  CheckOptions o;
  auto parsed =
      parseOptionTable<CheckOptions>(args, kOptions, o, [](CheckOptions& c, std::string_view file) {
        if (!c.file.empty()) return false;
        c.file = file;
        return true;
      });
  if (!parsed) {
    const OptionStop& stop = parsed.error();
    switch (stop.kind) {
      case OptionStop::Kind::Help:
        o.help = true;
        return o;
      case OptionStop::Kind::Unknown:
        return std::unexpected(std::string("unknown option"));
      case OptionStop::Kind::Extra:
        return std::unexpected("only one message file may be given: " + std::string(stop.argument));
      case OptionStop::Kind::Refused:
        return std::unexpected(std::string(stop.text));
    }
  }
  if (o.file.empty()) return std::unexpected(std::string("a message file is required (see -h)"));
  return o;
}

void printOutcome(std::ostream& out, std::size_t n, const VerificationOutcome& outcome) {
  std::string prefix = "sig." + std::to_string(n) + ".";
  out << prefix << "result=" << dkimResultText(outcome.result) << '\n';
  out << prefix << "domain=" << outcome.domain << '\n';
  out << prefix << "selector=" << outcome.selector << '\n';
  if (!outcome.reason.empty()) out << prefix << "reason=" << outcome.reason << '\n';
  if (outcome.testing) out << prefix << "testing=true\n";
  if (outcome.unsigned_octets != 0) out << prefix << "unsigned=" << outcome.unsigned_octets << '\n';
}

int runCheck(std::span<const std::string_view> args, const KeyLookupFactory& make_lookup,
             std::ostream& out, std::ostream& err) {
  try {
    auto parsed = parseCheckArgs(args);
    if (!parsed) return usageError(err, parsed.error());
    const CheckOptions& o = *parsed;
    if (o.help) {
      out << kUsage;
      return 0;
    }
    auto prepared = prepareMessage(o);
    if (!prepared) return usageError(err, prepared.error());

    std::uint32_t min_bits = o.minimum_bits && *o.minimum_bits > kRsaMinimumKeyBits
                                 ? *o.minimum_bits
                                 : kRsaMinimumKeyBits;
    Result<std::unique_ptr<KeyLookup>> lookup = make_lookup(o.nameserver, o.port);
    if (!lookup) {
      if (lookup.error() == Error::InvalidNameserver) {
        return usageError(err, kInvalidNameserverMessage);
      }
      err << "error: " << errorName(lookup.error()) << '\n';
      return 1;
    }
    PublicKeyCache keys;
    std::optional<std::uint64_t> deadline;
    if (o.budget_ms != 0) {
      deadline = platform::wallClockMillis() + static_cast<std::uint64_t>(o.budget_ms);
    }

    std::size_t evaluated = 0;
    std::optional<DkimResult> first;
    bool any_pass = false;
    const Message& m = prepared->message;
    for (std::size_t i = 0; i < m.headers.size(); ++i) {
      if (!namesEqual(m.headers[i].name, "DKIM-Signature")) continue;
      if (deadline && platform::wallClockMillis() >= *deadline) {
        out << "note=" << kDeadlineNote << '\n';
        break;
      }
      VerificationRequest request;
      request.signature_value = m.headers[i].value;
      request.signature_field = prepared->raw_headers[i];
      request.raw_headers = prepared->raw_headers;
      request.body = m.body;
      request.minimum_key_bits = min_bits;
      request.refuse_body_length = o.refuse_body_length;
      request.max_key_records = o.max_key_records;
      VerificationOutcome outcome = verifySignature(request, **lookup, &keys);
      printOutcome(out, evaluated, outcome);
      if (!first) first = outcome.result;
      any_pass |= outcome.result == DkimResult::Pass;
      ++evaluated;
    }
    DkimResult overall = any_pass ? DkimResult::Pass : first.value_or(DkimResult::None);
    out << "signatures=" << evaluated << '\n' << "result=" << dkimResultText(overall) << '\n';
    out.flush();
    return 0;
  } catch (const std::bad_alloc&) {
    err << "error: " << errorName(Error::OutOfMemory) << '\n';
    return 1;
  }
}

}  // namespace quellsig
