// Result codes of the transfer layer. Every operation of src/inet answers one
// of these. A data buffer that refuses a write is INET_WRITE_FAILED (its own
// DataBufferResult goes to the log line), so the two sets of codes never
// share a value's meaning. The values of the others are the ones the logs
// and the callers have always seen.
#pragma once

enum InetResult : int {
  INET_OK = 0,
  INET_FAILED = 3,         // a transfer step failed; a log line names it
  INET_NOT_CONNECTED = 7,  // the FTP object has no connection
  INET_BAD_SCHEME = 10,    // neither ftp, http nor https
  INET_BAD_ADDRESS = 12,   // unparsable address, or no default port
  INET_CANCELLED = 13,     // the caller's cancel check stopped the transfer
  INET_WRITE_FAILED = 20,  // the data buffer refused a write; logged with its code
};
