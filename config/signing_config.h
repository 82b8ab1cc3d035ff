// SigningConfig: which keys sign a sender, loaded from a SigningTable, a
// KeyTable and an optional single KeyFile key.
//
// loadSigningConfig reads both tables (at most 1 MiB each) and loads every
// key, emitting the load messages at err/info; the first failure destroys
// what was built and returns its error (file errors as they are,
// KeyTableWithoutSigningTable, SigningTableWithoutKeyTable, RsaKeyTooSmall,
// KeyFilePermissionsTooOpen, SigningEntryHasNoKey, the key loader's errors,
// OutOfMemory). Only the main thread loads.
//
// Ownership: the caller owns the returned configuration; it is immutable, is
// never moved (its views point into texts it owns), and any number of
// threads may call select() on it at once. SigningEntry values borrow from
// the configuration and from the settings and must not outlive either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/signing_index.h"
#include "engine/private_key.h"
#include "engine/signer.h"
#include "platform/error.h"

namespace quellsig {

// The configured paths; each one optional. Borrowed for the load only.
struct SigningSources {
  std::optional<std::string_view> signing_table;
  std::optional<std::string_view> key_table;
  std::optional<std::string_view> key_file;
};

// What selection takes from the run-time settings (not reloaded).
struct SigningSettings {
  std::optional<std::string_view> domain;    // single-key domain (Domain)
  std::optional<std::string_view> selector;  // single-key selector (Selector)
  std::string_view signed_headers = kDefaultSignedHeaders;
  std::string_view oversign_headers = kDefaultOversignHeaders;
  bool multi_sign = false;
};

// One key chosen for a message; the signing step fills the rest of its
// signing request (algorithm, canonicalization, timestamp) itself.
struct SigningEntry {
  std::string_view domain;
  std::string_view selector;
  std::string_view signed_headers;
  std::string_view oversign_headers;
  const PrivateKey* key = nullptr;
};

inline constexpr std::size_t kMaxSigningEntries = 8;

class SigningSelection {
 public:
  std::span<const SigningEntry> entries() const { return {entries_.data(), count_}; }
  bool empty() const { return count_ == 0; }

 private:
  friend class SigningConfig;
  std::array<SigningEntry, kMaxSigningEntries> entries_{};
  std::size_t count_ = 0;
};

class SigningConfig {
 public:
  struct Key {
    std::string_view name;
    std::string_view domain;
    std::string_view selector;
    std::string_view path;
    PrivateKey key;
  };
  struct TableLine {
    std::string_view pattern;
    std::string_view entry;
    std::uint32_t first_key = 0;  // the run of keys named entry, in keys()
    std::uint32_t key_count = 0;
  };

  SigningConfig(const SigningConfig&) = delete;
  SigningConfig& operator=(const SigningConfig&) = delete;
  ~SigningConfig();

  // The keys for a sender address (MAIL FROM without "<" and ">"): the
  // single key when Domain equals the sender's domain, otherwise the run of
  // the first matching SigningTable line; at most kMaxSigningEntries (a
  // warning names each key dropped beyond them), and only the first when
  // MultiSign is off. Never fails.
  SigningSelection select(const SigningSettings& settings, std::string_view sender_address) const;

  bool hasSigningTable() const { return has_signing_table_; }
  bool hasKeyTable() const { return has_key_table_; }
  bool hasSingleKey() const { return single_key_.has_value(); }
  std::span<const TableLine> lines() const { return lines_; }
  // Sorted by name (bytewise), equal names in file order.
  std::span<const Key> keys() const { return keys_; }

 private:
  SigningConfig() = default;
  friend Result<std::unique_ptr<const SigningConfig>> loadSigningConfig(const SigningSources&);

  std::string signing_text_;
  std::string key_text_;
  std::vector<TableLine> lines_;
  SigningIndex index_;
  std::vector<Key> keys_;
  std::optional<PrivateKey> single_key_;
  bool has_signing_table_ = false;
  bool has_key_table_ = false;
};

Result<std::unique_ptr<const SigningConfig>> loadSigningConfig(const SigningSources& sources);

// The domain of a sender address: the text after its last "@"; empty when
// there is none.
std::string_view senderDomain(std::string_view sender_address);

}  // namespace quellsig
