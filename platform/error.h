// Named error values shared by every module.
//
// Contract: every fallible operation returns std::expected<T, Error>. Errors
// are passed up unchanged and turned into text only where a message is
// written: errorName() gives the bare name ("FileNotFound") used in exit
// reports and the tools' internal-error line; inside log sentences the name
// is written with the "error." prefix. "Would block" and "need more bytes" are
// values of the operations that have them, never errors.
//
// Adding a value: put it in its module's group and add its case to
// errorName(); the switch there has no default, so a nameless value does not
// compile. Thread-safe: pure functions over constant data.
#pragma once

#include <expected>
#include <string_view>

namespace quellsig {

enum class Error {
  // General and system errors (the platform border maps errno here).
  OutOfMemory,
  Unexpected,
  InvalidArgument,
  SystemResources,
  AccessDenied,
  FileNotFound,
  FileOpenFailed,
  FileCreateFailed,
  FileTooBig,
  IsDir,
  NotDir,
  NotRegularFile,
  SymLinkLoop,
  PathTooLong,
  InvalidPath,
  ReadOnlyFileSystem,
  ProcessFdQuotaExceeded,
  SystemFdQuotaExceeded,
  AddressInUse,
  AddressNotAvailable,
  BrokenPipe,
  ConnectionAborted,
  ConnectionRefused,
  ProtocolFailure,
  TimedOut,
  EndOfStream,
  PathAlreadyExists,
  NoSpaceLeft,

  // DKIM engine: tag lists and signature fields.
  EmptyTagList,
  MissingEquals,
  InvalidTagName,
  DuplicateTagName,
  TooManyTags,
  UnsupportedAlgorithm,
  InvalidCanonicalization,
  BodyLengthExceedsBody,
  MalformedHeader,

  // DKIM engine: keys and signature algorithms.
  CtxCreateFailed,
  SignInitFailed,
  SignUpdateFailed,
  SignFinalFailed,
  KeyParseFailed,
  InvalidPem,
  NotRsaKey,
  NotEd25519Key,
  RsaKeyTooSmall,
  KeyFilePermissionsTooOpen,
  KeyMismatch,
  InvalidSeedLength,
  NonCanonical,
  IdentityElement,
  WeakPublicKey,
  KeygenCtxFailed,
  KeygenInitFailed,
  KeygenBitsFailed,
  KeygenFailed,
  KeyWriteFailed,
  PubkeyExportFailed,

  // DNS resolver.
  NameTooLong,
  EmptyLabel,
  LabelTooLong,
  TooManyLabels,
  InvalidPointer,
  TooManyPointers,
  PacketTooShort,
  IdMismatch,
  DnsNameError,
  DnsServerFailure,
  DnsTimeout,
  DnsNoHealthyServers,
  InvalidNameserver,
  InvalidServerCount,

  // Configuration file and signing configuration.
  InvalidConfiguration,
  InvalidListenerSocket,
  MissingListenerSocket,
  InvalidHost,
  InvalidPort,
  InvalidMode,
  InvalidBodyLengthTag,
  SigningTableWithoutKeyTable,
  KeyTableWithoutSigningTable,
  SigningEntryHasNoKey,

  // Milter engine.
  PacketTooLarge,
  BodyTooLarge,
  OutputQueueFull,
  MalformedReply,

  // Daemon runtime: process set-up.
  AlreadyRunning,
  InvalidUserSpec,
  UserNotFound,
  GroupNotFound,
  UsernameTooLong,
  GroupNameTooLong,
  RefusingToDropToRoot,
  SetgroupsFailed,
  SetgidFailed,
  SetuidFailed,
  PrivilegeDropNotEffective,
};

// The bare name of an error value, e.g. "FileNotFound".
std::string_view errorName(Error e);

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(e); }

}  // namespace quellsig
