// BufferSink: the body of a transfer written into a TarvDataBuffer at its
// current position, in chunks of at most 16384 bytes (what libcurl receives
// at once is split), so that the buffer's position, which the download
// status shows, grows by at most one chunk at a time. It is the read loop of the transfer layer:
// libcurl pushes where a pull loop would read. Made per transfer by TarvHTTP or TarvFTP on the
// transferring thread.
//
// A size limit (the most the buffer may hold at its end) cuts a body that
// goes on past it: the transfer stops and Finish fails. A speed cap is kept
// by waiting in the write call whenever the body arrived faster than the
// cap since the sink's first byte (libcurl's own cap lets a fast start run
// ahead by a tenth or more).
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>

#include "data/data_buffer.h"
#include "inet/inet_result.h"

class BufferSink {
 public:
  // `limit`: the buffer's position may not pass it; 0 for none.
  // `bytesPerSecond`: the speed cap; 0 for none.
  explicit BufferSink(TarvDataBuffer* buffer, uint64_t limit = 0, uint64_t bytesPerSecond = 0)
      : m_buffer(buffer), m_limit(limit), m_rate(bytesPerSecond) {}

  // Routes the handle's body data into this sink.
  void Attach(CURL* handle);
  // Body bytes written so far.
  uint64_t Received() const { return m_received; }
  // True once a Write into the buffer failed; the transfer was then stopped.
  bool WriteFailed() const { return m_writeResult != DB_OK; }
  DataBufferResult WriteResult() const { return m_writeResult; }
  // True once the body went past the limit; the transfer was then stopped.
  bool TooLong() const { return m_tooLong; }
  // Stops the transfer before the next body byte is stored (a response
  // that must not reach the buffer).
  void Refuse() { m_refused = true; }

  // The result of the read phase once libcurl has finished with `code`:
  // INET_OK when all was read; INET_WRITE_FAILED (logged as "WriteData
  // returned <the buffer's result>") when a write failed; else INET_FAILED,
  // logged as "InternetReadFile returned
  // <code> with actualByteCount=<bytes received>". A body past the limit
  // gives INET_FAILED, logged as "InternetReadFile> more than <limit> bytes".
  InetResult Finish(CURLcode code) const;

 private:
  static size_t OnData(char* data, size_t size, size_t count, void* self);
  void KeepToRate();

  TarvDataBuffer* m_buffer;
  uint64_t m_limit;
  uint64_t m_rate;
  std::chrono::steady_clock::time_point m_start;
  uint64_t m_received = 0;
  bool m_tooLong = false;
  bool m_refused = false;
  DataBufferResult m_writeResult = DB_OK;
};
