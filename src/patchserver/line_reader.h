// TarvLineReader: reads lines from a TarvDataBuffer one byte at a time, for
// the catalogue parser. A line ends at CR, LF, CR LF or LF CR; two equal
// terminator bytes in a row are two line ends. The end flag stays 0 until a
// read of the buffer first fails and then keeps that read's result. Owned by
// its user; the buffer must outlive it. One thread.
#pragma once

#include <string>

#include "data/data_buffer.h"

class TarvLineReader {
 public:
  explicit TarvLineReader(TarvDataBuffer* buffer) : m_buffer(buffer) {}

  // The next line, without its terminator, into `line`. At the end of the
  // data, `line` holds what was gathered (possibly nothing) and EndFlag() is
  // set; a terminator that is the buffer's last byte leaves the flag for the
  // next call.
  void ReadLine(std::string& line);
  int EndFlag() const { return m_end; }

 private:
  bool ReadByte(char& byte);

  TarvDataBuffer* m_buffer;
  int m_end = 0;
};
