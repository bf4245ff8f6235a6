// The front-ends of the transfer layer: Fetch (the data behind an address
// into a TarvDataBuffer) and QuerySize (the size behind an address). They
// parse the address, choose FTP or HTTP(S) by its scheme and retry failed
// attempts with a pause in between. They block the calling thread, with no
// cancellation point; one transfer at a time per thread.
#pragma once

#include <cstdint>
#include <string>

#include "data/data_buffer.h"
#include "inet/inet_result.h"

namespace TarvInet {

// Fetch flag: ask every HTTP cache on the way for a fresh copy.
constexpr uint32_t kBypassCache = 1;

// Writes the data behind `url` into `buffer` at its current position.
// FTP: up to 11 attempts, each connecting anew and resuming after what the
// buffer holds. HTTP(S): up to 11 attempts, each after emptying the buffer;
// an answer 4xx other than 408 and 429 is not tried again. The pause after a
// failed attempt is 1000 ms. Returns INET_OK, the last attempt's result,
// INET_BAD_ADDRESS (no attempt) or INET_BAD_SCHEME (no attempt).
InetResult Fetch(const std::string& url, TarvDataBuffer* buffer, uint32_t flags);

// The size behind `url`: FTP up to 5 attempts, HTTP(S) up to 11, 1000 ms
// apart. Results as Fetch.
InetResult QuerySize(const std::string& url, uint64_t& size);

}  // namespace TarvInet
