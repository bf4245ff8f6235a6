// A stream that writes nowhere and only counts: the size a writer that
// takes a FILE* (and seeks back to its header) would leave on disk, without
// a file. One owner thread.
#pragma once
#include <cstdint>
#include <cstdio>

namespace TarvFile {

class CountingStream {
 public:
  CountingStream() = default;
  // Closes the stream when still open.
  ~CountingStream();
  CountingStream(const CountingStream&) = delete;
  CountingStream& operator=(const CountingStream&) = delete;

  // Null with errno when no stream could be made.
  FILE* Open();
  // Closes the stream; false when a write or seek through it failed.
  bool Close();
  // The end of the furthest write so far.
  uint64_t size() const { return m_size; }

  // What the platform's stream reports: `n` bytes written at the position,
  // and a seek by `offset` from SEEK_SET, SEEK_CUR or SEEK_END (false before
  // the start); `at` gets the new position.
  void Wrote(size_t n);
  bool Seek(int64_t offset, int whence, int64_t* at);

 private:
  uint64_t m_pos = 0;
  uint64_t m_size = 0;
  FILE* m_stream = nullptr;
};

}  // namespace TarvFile
