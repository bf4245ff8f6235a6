// The one way the patcher takes a file from where a session's files come
// from: an address with a scheme (ftp://, http://, https://) is transferred,
// anything else is a path of this machine, read where it lies (a patch
// folder or disk given with --patch). Every fetch names its kind, and the
// kind brings its size cap; the caller adds its cancel check and the
// player's speed cap. Free functions for the worker thread; each reports
// failure by its result and leaves the report line to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"
#include "inet/transfer_control.h"

namespace TarvPatch {

// What is fetched. Each kind has a ceiling no fetch of it passes:
//   catalogue  4 MiB ("patches.txt"; a real one is a few KiB)
//   signature  1 MiB (a real one is a few hundred bytes)
//   manifest  64 MiB (the repair manifest's own reading limit)
//   archive    4 GiB - 1 (data buffers count in 32 bits); the size the
//              catalogue or the server gives, when known, is the cap
//   object     the zstd frame of its file's size, which the caller gives
//              with every fetch (a repaired file may pass 4 GiB)
// Texts (catalogue, signature, manifest) are asked for fresh from every
// cache; archives and objects never change under their address.
enum class FetchKind { kCatalogue, kSignature, kManifest, kArchive, kObject };

inline constexpr uint64_t kMaxCatalogueBytes = 4u << 20;
inline constexpr uint64_t kMaxSignatureBytes = 1u << 20;
inline constexpr uint64_t kMaxManifestBytes = 64u << 20;
inline constexpr uint64_t kMaxArchiveBytes = UINT32_MAX;
inline constexpr uint64_t kMaxObjectBytes = UINT64_MAX;

// The ceiling of `kind`, lowered to `given` when that is not 0.
uint64_t SizeCap(FetchKind kind, uint64_t given = 0);

// Asked between pieces of a transfer; true stops it (the fetch then fails).
using FetchCancelled = std::function<bool()>;

// What a caller asks of one fetch beyond its address and kind, and what it
// learns of a failure. A local file is held to the size cap too (its
// failure is kNotFound or kTooLong); the speed cap and progress concern
// transfers.
struct FetchOptions {
  FetchCancelled cancelled;                // null never stops it
  uint64_t max_bytes_per_second = 0;       // 0 for no cap
  uint64_t max_bytes = 0;                  // below the kind's ceiling; 0 for the ceiling
  std::function<void(uint64_t)> progress;  // body bytes so far, on the fetching thread
  TarvInet::TransferFailure failure;       // why the fetch failed
  // A server's address, transferred even without a scheme (the transfer
  // layer then picks one); otherwise such an address is a local path.
  bool server = false;
};

// True for an address fetched over the network.
bool IsRemoteAddress(const std::wstring& address);

// An address as report lines and logs show it: a network address without
// its password, a path as it is.
std::wstring ShownAddress(const std::wstring& address);

// The transfer every network fetch goes through: the data behind `address`
// into `sink` at its position, under the options' cancel check and speed
// cap and the kind's size cap. `options.failure` gets the cause.
InetResult Transfer(const std::wstring& address, FetchKind kind, TarvDataBuffer* sink,
                    FetchOptions& options);

// The whole file behind `address` into `text`; false when it cannot be
// fetched or read, passes its cap, or was cancelled.
bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
               FetchOptions* options = nullptr);

// The file behind `address` as a file of this machine: a remote file is
// downloaded into `download_path`, a local one is read in place. `where`
// names the file to read.
bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download_path,
               std::wstring* where, FetchOptions* options = nullptr);

// Fetches a text as FetchText does, adding the caller's cancel check and
// speed cap.
using TextFetcher =
    std::function<bool(const std::wstring&, FetchKind, std::string*, FetchOptions*)>;

}  // namespace TarvPatch
