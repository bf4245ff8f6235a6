// Where a session's files come from: an address with a scheme (ftp://,
// http://, https://) is fetched over the network; anything else is a path
// of this machine, read where it lies (a patch folder or disk given with
// --patch). Free functions for the worker thread; each reports failure by
// its result and leaves the report line to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "inet/transfer_control.h"
#include "patchserver/catalogue_signature.h"

class PatchCatalogue;

namespace TarvPatch {

// True for an address fetched over the network.
bool IsRemoteAddress(const std::wstring& address);

// Asked between pieces of a transfer; true stops it (the fetch then fails).
using FetchCancelled = std::function<bool()>;

// What a caller asks of one fetch beyond its address, and what it learns
// of a failure. A local file is held to the size caps too (its failure is
// kNotFound or kTooLong); the speed cap and progress concern transfers.
struct FetchOptions {
  FetchCancelled cancelled;                // null never stops it
  uint64_t max_bytes_per_second = 0;       // 0 for no cap
  uint64_t max_bytes = 0;                  // FetchFile: longest file taken; 0 for no cap
  std::function<void(uint64_t)> progress;  // body bytes so far, on the fetching thread
  TarvInet::TransferFailure failure;       // why the fetch failed
};

// The whole file behind `address` into `text`; false when it cannot be
// fetched or read, holds more than `limit` bytes, or was cancelled.
bool FetchText(const std::wstring& address, std::string* text, size_t limit,
               FetchOptions* options = nullptr);

// The file behind `address` as a file of this machine: a remote file is
// downloaded into `download_path`, a local one is read in place. `where`
// names the file to read. A body past `options->max_bytes` stops the
// transfer there and fails it.
bool FetchFile(const std::wstring& address, const std::wstring& download_path, std::wstring* where,
               FetchOptions* options = nullptr);

// An address as report lines and logs show it: a network address without
// its password, a path as it is.
std::wstring ShownAddress(const std::wstring& address);

// The text of a catalogue file parsed into `catalogue`, relative addresses
// joined to `base`; true when it held a valid patch record.
bool ParseCatalogueText(const std::string& text, const std::wstring& base,
                        PatchCatalogue* catalogue);

// Fetches the file behind an address as FetchText does.
using TextFetcher = std::function<bool(const std::wstring&, std::string*, size_t)>;

// Why the catalogue text fetched from `address` must not be used: empty when
// `policy` asks for no signature or the signature beside it
// ("<address>.minisig", fetched with `fetch`) is accepted; otherwise the
// report line (level 2) naming the address. `serial` (may be null) gets the
// serial of an accepted signed catalogue.
std::wstring CatalogueRefusal(const std::string& catalogue, const std::wstring& address,
                              const CataloguePolicy& policy, const TextFetcher& fetch,
                              uint64_t* serial);

}  // namespace TarvPatch
