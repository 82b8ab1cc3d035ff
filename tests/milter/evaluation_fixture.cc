#include "tests/milter/evaluation_fixture.h"

#include <array>
#include <cctype>
#include <ostream>

#include "dns/resolver_key_lookup.h"
#include "engine/base64.h"
#include "engine/ed25519.h"
#include "engine/rsa_keygen.h"
#include "engine/signer.h"
#include "platform/byte_cursor.h"
#include "platform/exclusive_file.h"

namespace quellsig::testing {

using namespace std::string_literals;

std::ostream& operator<<(std::ostream& out, const Published& p) {
  return out << resultActionText(p.action) << "/" << dkimResultText(p.result) << "/" << p.domain
             << "/" << p.selector;
}

std::vector<ReplyPacket> splitReplies(std::string_view bytes) {
  std::vector<ReplyPacket> out;
  ByteCursor cursor({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  while (cursor.remaining() != 0) {
    std::uint32_t length = 0;
    std::string_view body;
    if (!cursor.readU32(length) || length == 0 || !cursor.readText(length, body)) {
      ADD_FAILURE() << "torn reply packet";
      break;
    }
    out.push_back({body[0], std::string(body.substr(1))});
  }
  return out;
}

std::string insertPayload(std::string_view name, std::string_view value) {
  return be32(0) + std::string(name) + '\0' + std::string(value) + '\0';
}

std::string deletePayload(std::uint32_t occurrence) {
  return be32(occurrence) + "Authentication-Results\0\0"s;
}

namespace {

// The header block as (name, value) pairs; values keep their CR LF folds
// and the space after the colon.
struct Field {
  std::string name, value;
};

std::vector<Field> fieldsOf(std::string_view head) {
  std::vector<Field> fields;
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t end = pos;
    do {
      end = head.find("\r\n", end);
      end = end == std::string_view::npos ? head.size() : end + 2;
    } while (end < head.size() && (head[end] == ' ' || head[end] == '\t'));
    std::string_view line = head.substr(pos, end - pos);
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    const std::size_t colon = line.find(':');
    fields.push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
    pos = end;
  }
  return fields;
}

std::pair<std::string_view, std::string_view> splitMessage(std::string_view text) {
  const std::size_t blank = text.find("\r\n\r\n");
  return {text.substr(0, blank + 2), text.substr(blank + 4)};
}

std::string withCrLf(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool namesMatch(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

std::string mtaPackets(const MtaMessage& m) {
  std::string out = negotiation(6, m.actions, m.protocol_flags);
  out += packet('D', "C{daemon_name}\0"s + m.daemon_name + '\0');
  out += packet('C', "client.example.net\0004\x01\x19"s "192.0.2.7\0"s);
  out += packet('D', "Mi\0"s + m.queue_id + '\0');
  out += packet('M', m.sender + '\0');
  out += packet('R', "<bob@example.net>\0"s);
  const auto [head, body] = splitMessage(m.text);
  const bool leading_space = (m.protocol_flags & kProtocolHeaderLeadingSpace) != 0;
  for (const Field& f : fieldsOf(head)) {
    std::string value;
    for (std::size_t i = 0; i < f.value.size(); ++i) {
      if (f.value.compare(i, 2, "\r\n") == 0) continue;  // the MTA's folds are bare LF
      value += f.value[i];
    }
    if (!leading_space && value.starts_with(' ')) value.erase(0, 1);
    out += packet('L', f.name + '\0' + value + '\0');
  }
  out += packet('N');
  for (std::size_t i = 0; i < body.size(); i += 700) out += packet('B', body.substr(i, 700));
  return out;
}

std::string applyHeaderChanges(std::string text, const std::vector<ReplyPacket>& replies,
                               bool leading_space_negotiated) {
  const auto [head, body] = splitMessage(text);
  std::vector<Field> fields = fieldsOf(head);
  for (const ReplyPacket& r : replies) {
    ByteCursor cursor({reinterpret_cast<const std::uint8_t*>(r.payload.data()), r.payload.size()});
    std::uint32_t index = 0;
    std::string_view name, value;
    if (r.command != 'i' && r.command != 'm') continue;
    EXPECT_TRUE(cursor.readU32(index) && cursor.readCString(name) && cursor.readCString(value));
    if (r.command == 'i') {
      EXPECT_EQ(index, 0u);
      std::string v = withCrLf(value);
      if (!leading_space_negotiated) v.insert(0, " ");
      fields.insert(fields.begin(), {std::string(name), v});
      continue;
    }
    EXPECT_TRUE(value.empty());
    std::uint32_t seen = 0;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (namesMatch(it->name, name) && ++seen == index) {
        fields.erase(it);
        break;
      }
    }
  }
  std::string out;
  for (const Field& f : fields) out += f.name + ":" + f.value + "\r\n";
  return out + "\r\n" + std::string(body);
}

std::string signedWith(const std::string& text, const PrivateKey& key, SignatureAlgorithm a,
                       std::string_view domain, std::string_view selector, bool body_length) {
  auto message = parseMessage(text);
  EXPECT_TRUE(message.has_value());
  auto raw = buildRawHeaderList(*message);
  auto hash = signingBodyHash(message->body, Canonicalization::Relaxed);
  EXPECT_TRUE(raw && hash);
  SigningRequest request;
  request.domain = domain;
  request.selector = selector;
  request.key = &key;
  request.algorithm = a;
  request.include_body_length = body_length;
  auto field = signMessage(*message, *raw, request, *hash);
  EXPECT_TRUE(field.has_value()) << errorName(field.error());
  return *field + "\r\n" + text;
}

namespace {

PrivateKey writeRsaKey(const testutil::TempDir& dir, const std::string& name, int bits) {
  auto key = generateRsaKey(bits);
  EXPECT_TRUE(key.has_value());
  auto fd = platform::createExclusiveFile(dir.file(name), 0600);
  EXPECT_TRUE(fd.has_value());
  EXPECT_TRUE(writeRsaPrivateKeyPem(*key, fd->get()).has_value());
  return std::move(*key);
}

// A TXT record line with the text cut into character-strings of 255 bytes.
std::string txtLine(const std::string& owner, const std::string& text) {
  std::string line = owner + " IN TXT";
  for (std::size_t i = 0; i < text.size(); i += 255) line += " \"" + text.substr(i, 255) + "\"";
  return line + "\n";
}

std::string rsaRecord(const PrivateKey& key, std::string_view flags = "") {
  auto der = rsaPublicKeyDer(key);
  EXPECT_TRUE(der.has_value());
  return "v=DKIM1; k=rsa; " + std::string(flags) + "p=" + base64Encode(*der);
}

}  // namespace

KeyZone& KeyZone::get() {
  static KeyZone zone;
  return zone;
}

KeyZone::KeyZone() {
  rsa_ = writeRsaKey(dir_, "rsa.pem", 2048);
  rsa2_ = writeRsaKey(dir_, "rsa2.pem", 1024);
  std::array<std::uint8_t, 32> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(7 * i + 1);
  auto ed = ed25519KeyFromSeed(seed);
  EXPECT_TRUE(ed.has_value());
  ed_ = std::move(*ed);

  NsdOptions o;
  o.address = "127.0.0.59";
  o.zones.push_back(
      {"example.test",
       "$TTL 300\n"
       "@ IN SOA ns.example.test. host.example.test. 1 3600 600 86400 300\n"
       "@ IN NS ns.example.test.\n"
       "ns IN A 127.0.0.59\n" +
           txtLine("rsa._domainkey", rsaRecord(rsa_)) +
           txtLine("rsa2._domainkey", rsaRecord(rsa2_)) +
           txtLine("test._domainkey", rsaRecord(rsa_, "t=y; ")) +
           txtLine("rsa._domainkey." + std::string(kLongDomainLabels), rsaRecord(rsa_)) +
           txtLine("ed._domainkey",
                   "v=DKIM1; k=ed25519; p=" + base64Encode(ed_.ed25519_public))});
  server_ = NsdServer::start(o, &error_);
}

std::string KeyZone::keyPath(std::string_view selector) const {
  return dir_.file(std::string(selector) + ".pem");
}

std::unique_ptr<KeyLookup> KeyZone::lookup() const {
  return lookupAt(server_->address(), server_->port());
}

std::unique_ptr<KeyLookup> lookupAt(const std::string& address, std::uint16_t port,
                                    std::uint32_t timeout_ms, std::uint8_t retries) {
  DnsSettings s;
  s.nameservers = {address};
  s.port = port;
  s.timeout_ms = timeout_ms;
  s.retries = retries;
  auto resolver = DnsResolver::create(s);
  EXPECT_TRUE(resolver.has_value());
  return std::make_unique<ResolverKeyLookup>(std::move(*resolver));
}

std::unique_ptr<const SigningConfig> signingConfig(const testutil::TempDir& dir,
                                                   const std::string& signing_table,
                                                   const std::string& key_table) {
  SigningSources sources;
  const std::string st = dir.write("SigningTable", signing_table);
  const std::string kt = dir.write("KeyTable", key_table);
  sources.signing_table = st;
  sources.key_table = kt;
  auto config = loadSigningConfig(sources);
  EXPECT_TRUE(config.has_value()) << errorName(config.error());
  return config ? std::move(*config) : nullptr;
}

EvaluatedPeer::EvaluatedPeer(RuntimeSettings s, KeyLookup& lookup, const SigningConfig* signing)
    : settings(std::move(s)), lookup_(lookup), signing_(signing) {
  MilterHooks hooks;
  hooks.end_of_message = [this](MilterConnection& c) {
    return evaluateMessage(c, {settings, lookup_, &key_cache, sink, signing_, clock});
  };
  peer = std::make_unique<MilterPeer>(settings, "client.example.net", std::move(hooks));
}

void EvaluatedPeer::begin(const MtaMessage& m) {
  EXPECT_EQ(peer->feed(mtaPackets(m)), ConnectionStatus::Open);
  peer->drainReplies();
}

std::vector<ReplyPacket> EvaluatedPeer::end() {
  peer->feed(packet('E'));
  return splitReplies(peer->drainReplies());
}

}  // namespace quellsig::testing
