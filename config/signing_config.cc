#include "config/signing_config.h"

#include <algorithm>
#include <new>

#include "config/ascii_fold.h"
#include "config/table_file.h"
#include "engine/key_loading.h"
#include "engine/rsa.h"
#include "engine/verification.h"
#include "log/log.h"
#include "platform/file.h"

namespace quellsig {
namespace {

constexpr std::size_t kTableFileLimit = 1048576;

int keyBits(const PrivateKey& key) { return rsaKeyBits(key); }

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
    emit(Severity::Info, "loaded ", keyBits(*key), "-bit signing key from ", path);
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
      auto text = readTable("SigningTable", *sources.signing_table);
      if (!text) return fail(text.error());
      config->signing_text_ = std::move(*text);
      config->has_signing_table_ = true;
      std::vector<std::string_view> patterns;
      for (const TableLine& line : parseTableLines(config->signing_text_)) {
        config->lines_.push_back({line.first, line.second, 0, 0});
        patterns.push_back(line.first);
      }
      config->index_.build(patterns);
    }

    if (sources.key_table) {
      auto text = readTable("KeyTable", *sources.key_table);
      if (!text) return fail(text.error());
      config->key_text_ = std::move(*text);
      config->has_key_table_ = true;
      for (const KeyTableLine& line : parseKeyTable(config->key_text_)) {
        config->keys_.push_back({line.name, line.domain, line.selector, line.path, PrivateKey{}});
      }
      std::stable_sort(config->keys_.begin(), config->keys_.end(),
                       [](const auto& a, const auto& b) { return a.name < b.name; });
    }

    if (config->has_key_table_ && !config->has_signing_table_) {
      emit(Severity::Err,
           "KeyTable is set without a SigningTable: the key table can never be consulted");
      return fail(Error::KeyTableWithoutSigningTable);
    }
    if (config->has_signing_table_ && !config->has_key_table_) {
      emit(Severity::Err,
           "SigningTable is set without a KeyTable: nothing can be signed through it");
      return fail(Error::SigningTableWithoutKeyTable);
    }

    if (config->has_key_table_) {
      for (SigningConfig::Key& k : config->keys_) {
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
      emit(Severity::Info, "loaded ", config->keys_.size(), " KeyTable signing key(s)");

      for (SigningConfig::TableLine& line : config->lines_) {
        auto run =
            std::equal_range(config->keys_.begin(), config->keys_.end(), line.entry, KeyNameLess{});
        if (run.first == run.second) {
          emit(Severity::Err, "SigningTable pattern ", line.pattern, " maps to signing entry ",
               line.entry, ", which the KeyTable does not define");
          return fail(Error::SigningEntryHasNoKey);
        }
        line.first_key = static_cast<std::uint32_t>(run.first - config->keys_.begin());
        line.key_count = static_cast<std::uint32_t>(run.second - run.first);
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
