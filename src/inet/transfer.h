// The front-ends of the transfer layer: Fetch (the data behind an address
// into a TarvDataBuffer) and QuerySize (the size behind an address). They
// parse the address, choose FTP or HTTP(S) by its scheme and retry failed
// attempts with a pause in between. They block the calling thread; a
// TransferControl's cancel check stops them within about a second, in a
// transfer or in a pause. One transfer at a time per thread.
//
// Every attempt fails when less than 1 KiB arrives in 30 seconds, and the
// attempts for one address stop once 3 minutes have passed since the first
// began, so that a server that stops answering cannot hold the patcher.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"
#include "inet/transfer_control.h"

namespace TarvInet {

// Fetch flag: ask every HTTP cache on the way for a fresh copy.
constexpr uint32_t kBypassCache = 1;

// Writes the data behind `url` into `buffer` at its current position.
// Up to 11 attempts, each connecting anew and resuming after what the buffer
// holds (FTP: "REST"; HTTP: "Range" with "If-Range", see TarvHTTP), or
// starting over when the data changed. An HTTP answer 4xx other than 408,
// 416 and 429, a body past `control.sizeLimit` and a buffer that refuses
// data are not tried again. The pause after a failed attempt is 1000 ms.
// Returns INET_OK, the last attempt's result, INET_CANCELLED, INET_BAD_ADDRESS
// (no attempt) or INET_BAD_SCHEME (no attempt); `failure` (may be null)
// receives the cause of a failure.
InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags,
                 const TransferControl& control, TransferFailure* failure = nullptr);
InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags);

// The size behind `url`: FTP up to 5 attempts, HTTP(S) up to 11, 1000 ms
// apart. Results as Fetch.
InetResult QuerySize(const std::string& url, uint64_t& size, const TransferControl& control,
                     TransferFailure* failure = nullptr);
InetResult QuerySize(const std::string& url, uint64_t& size);

}  // namespace TarvInet
