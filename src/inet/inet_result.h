// Result codes of the transfer layer. Every operation of src/inet answers one
// of these; a data buffer's DataBufferResult is passed through unchanged, so
// the type is a plain int.
#pragma once

using InetResult = int;

enum InetResultCode : int {
  INET_OK = 0,
  INET_FAILED = 3,         // a transfer step failed; a log line names it
  INET_NOT_CONNECTED = 7,  // the FTP object has no connection
  INET_BAD_SCHEME = 10,    // neither ftp, http nor https
  INET_BAD_ADDRESS = 12,   // unparsable address, or no default port
  INET_CANCELLED = 13,     // the caller's cancel check stopped the transfer
};
