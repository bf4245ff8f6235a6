// BufferSink: the body of a transfer written into a TarvDataBuffer at its
// current position, in chunks of at most 16384 bytes (what libcurl receives
// at once is split), so that the buffer's position, which the download
// status shows, grows by at most one chunk at a time. It is the read loop of the transfer layer:
// libcurl pushes where a pull loop would read. Made per transfer by TarvHTTP or TarvFTP on the
// transferring thread.
#pragma once

#include <curl/curl.h>

#include <cstdint>

#include "data/data_buffer.h"
#include "inet/inet_result.h"

class BufferSink {
 public:
  explicit BufferSink(TarvDataBuffer* buffer) : m_buffer(buffer) {}

  // Routes the handle's body data into this sink.
  void Attach(CURL* handle);
  // Body bytes written so far.
  uint64_t Received() const { return m_received; }
  // True once a Write into the buffer failed; the transfer was then stopped.
  bool WriteFailed() const { return m_writeResult != DB_OK; }
  DataBufferResult WriteResult() const { return m_writeResult; }

  // The result of the read phase once libcurl has finished with `code`:
  // INET_OK when all was read; INET_WRITE_FAILED (logged as "WriteData
  // returned <the buffer's result>") when a write failed; else INET_FAILED,
  // logged as "InternetReadFile returned
  // <code> with actualByteCount=<bytes received>".
  InetResult Finish(CURLcode code) const;

 private:
  static size_t OnData(char* data, size_t size, size_t count, void* self);

  TarvDataBuffer* m_buffer;
  uint64_t m_received = 0;
  DataBufferResult m_writeResult = DB_OK;
};
