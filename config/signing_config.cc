#include "config/signing_config.h"

#include <algorithm>
#include <new>

#include "config/ascii_fold.h"
#include "config/table_file.h"
#include "engine/algorithms.h"
#include "engine/key_loading.h"
#include "engine/rsa.h"
#include "engine/verification.h"
#include "log/log.h"
#include "platform/file.h"

namespace quellsig {
namespace {

constexpr std::size_t kTableFileLimit = 1048576;

// Octal without leading zeros, e.g. 0640 -> "640".
std::string octalText(std::uint32_t mode) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + (mode & 7)));
    mode >>= 3;
  } while (mode != 0);
  return digits;
}

Result<PrivateKey> loadKeyFile(std::string_view path) {
  auto key = loadPemPrivateKey(path);
  if (key) {
    emit(Severity::Info, "loaded ", rsaKeyBits(*key).value_or(0), "-bit signing key from ", path);
    return key;
  }
  if (key.error() == Error::RsaKeyTooSmall) {
    emit(Severity::Err, "signing key ", path, " is below the RFC 8301 minimum of ",
         kRsaMinimumKeyBits, " bits: refusing to sign with it");
  } else if (key.error() == Error::KeyFilePermissionsTooOpen) {
    auto mode = platform::filePermissionBits(path);
    // The file may have changed since the loader looked; name the mode only
    // when it can still be read.
    const std::string mode_text = mode ? octalText(*mode) : std::string("unknown");
    emit(Severity::Err, "signing key ", path, " is mode ", mode_text,
         ", readable beyond its owner: chmod 600 and chown it to the user the daemon drops to");
  } else {
    emit(Severity::Err, "signing key ", path, " could not be loaded: ", ErrorText{key.error()});
  }
  return key;
}

// The caller's record names only the error; this one names the file.
Result<std::string> readTable(std::string_view key, std::string_view path) {
  auto text = platform::readRegularFile(path, kTableFileLimit);
  if (!text) emit(Severity::Err, key, " ", path, " could not be read: ", ErrorText{text.error()});
  return text;
}

struct KeyNameLess {
  bool operator()(const SigningConfig::Key& k, std::string_view name) const {
    return k.name < name;
  }
  bool operator()(std::string_view name, const SigningConfig::Key& k) const {
    return name < k.name;
  }
};

// The SigningTable's text into `text` and its lines, in file order, with
// the pattern index over them.
Result<void> readSigningTable(std::string_view path, std::string& text,
                              std::vector<SigningConfig::TableLine>& lines, SigningIndex& index) {
  auto file = readTable("SigningTable", path);
  if (!file) return fail(file.error());
  text = std::move(*file);
  std::vector<std::string_view> patterns;
  for (const TableLine& line : parseTableLines(text)) {
    lines.push_back({line.first, line.second, 0, 0});
    patterns.push_back(line.first);
  }
  index.build(patterns);
  return {};
}

// The KeyTable's text into `text` and its keys, sorted by name with equal
// names in file order; the keys themselves are not loaded yet.
Result<void> readKeyTable(std::string_view path, std::string& text,
                          std::vector<SigningConfig::Key>& keys) {
  auto file = readTable("KeyTable", path);
  if (!file) return fail(file.error());
  text = std::move(*file);
  for (const KeyTableLine& line : parseKeyTable(text)) {
    keys.push_back({line.name, line.domain, line.selector, line.path, PrivateKey{}});
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const auto& a, const auto& b) { return a.name < b.name; });
  return {};
}

// Either table alone can never sign anything.
Result<void> checkTablesPaired(bool has_signing_table, bool has_key_table) {
  if (has_key_table && !has_signing_table) {
    emit(Severity::Err,
         "KeyTable is set without a SigningTable: the key table can never be consulted");
    return fail(Error::KeyTableWithoutSigningTable);
  }
  if (has_signing_table && !has_key_table) {
    emit(Severity::Err, "SigningTable is set without a KeyTable: nothing can be signed through it");
    return fail(Error::SigningTableWithoutKeyTable);
  }
  return {};
}

Result<void> loadTableKeys(std::vector<SigningConfig::Key>& keys) {
  for (SigningConfig::Key& k : keys) {
    auto key = loadPemPrivateKey(k.path);
    if (!key) {
      if (key.error() == Error::RsaKeyTooSmall) {
        emit(Severity::Err, "KeyTable key ", k.path, " is below the RFC 8301 minimum of ",
             kRsaMinimumKeyBits, " bits: refusing to sign with it");
      } else {
        emit(Severity::Err, "KeyTable key ", k.path,
             " could not be loaded: ", ErrorText{key.error()});
      }
      return fail(key.error());
    }
    k.key = std::move(*key);
  }
  emit(Severity::Info, "loaded ", keys.size(), " KeyTable signing key(s)");
  return {};
}

// Each SigningTable line gets the run of keys its entry names.
Result<void> linkLinesToKeys(std::vector<SigningConfig::TableLine>& lines,
                             const std::vector<SigningConfig::Key>& keys) {
  for (SigningConfig::TableLine& line : lines) {
    auto run = std::equal_range(keys.begin(), keys.end(), line.entry, KeyNameLess{});
    if (run.first == run.second) {
      emit(Severity::Err, "SigningTable pattern ", line.pattern, " maps to signing entry ",
           line.entry, ", which the KeyTable does not define");
      return fail(Error::SigningEntryHasNoKey);
    }
    line.first_key = static_cast<std::uint32_t>(run.first - keys.begin());
    line.key_count = static_cast<std::uint32_t>(run.second - run.first);
  }
  return {};
}

}  // namespace

SigningConfig::~SigningConfig() = default;

std::string_view senderDomain(std::string_view sender_address) {
  const std::size_t at = sender_address.rfind('@');
  return at == std::string_view::npos ? std::string_view() : sender_address.substr(at + 1);
}

Result<std::unique_ptr<const SigningConfig>> loadSigningConfig(const SigningSources& sources) {
  try {
    std::unique_ptr<SigningConfig> config(new SigningConfig());
    if (sources.signing_table) {
      auto read = readSigningTable(*sources.signing_table, config->signing_text_, config->lines_,
                                   config->index_);
      if (!read) return fail(read.error());
      config->has_signing_table_ = true;
    }
    if (sources.key_table) {
      auto read = readKeyTable(*sources.key_table, config->key_text_, config->keys_);
      if (!read) return fail(read.error());
      config->has_key_table_ = true;
    }
    if (auto paired = checkTablesPaired(config->has_signing_table_, config->has_key_table_);
        !paired) {
      return fail(paired.error());
    }
    if (config->has_key_table_) {
      if (auto loaded = loadTableKeys(config->keys_); !loaded) return fail(loaded.error());
      if (auto linked = linkLinesToKeys(config->lines_, config->keys_); !linked) {
        return fail(linked.error());
      }
    }
    if (sources.key_file) {
      auto key = loadKeyFile(*sources.key_file);
      if (!key) return fail(key.error());
      config->single_key_.emplace(std::move(*key));
    }
    return std::unique_ptr<const SigningConfig>(std::move(config));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

SigningSelection SigningConfig::select(const SigningSettings& settings,
                                       std::string_view sender_address) const {
  SigningSelection out;
  auto add = [&](std::string_view domain, std::string_view selector, const PrivateKey* key) {
    if (out.count_ == kMaxSigningEntries) {
      emit(Severity::Warning, "more than ", kMaxSigningEntries, " signing keys for ", domain, "/",
           selector, ": excess key ignored");
      return;
    }
    out.entries_[out.count_++] = {domain, selector, settings.signed_headers,
                                  settings.oversign_headers, key};
  };

  if (settings.domain && sender_address.find('@') != std::string_view::npos &&
      equalsIgnoringAsciiCase(*settings.domain, senderDomain(sender_address))) {
    if (single_key_) add(*settings.domain, settings.selector.value_or("default"), &*single_key_);
    return out;
  }
  if (!has_signing_table_) return out;
  const std::uint32_t line = index_.firstMatch(sender_address);
  if (line == kNoLine) return out;
  const TableLine& hit = lines_[line];
  for (std::uint32_t i = hit.first_key; i < hit.first_key + hit.key_count; ++i) {
    add(keys_[i].domain, keys_[i].selector, &keys_[i].key);
  }
  if (!settings.multi_sign && out.count_ > 1) out.count_ = 1;
  return out;
}

}  // namespace quellsig
