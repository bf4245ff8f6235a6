#include "patchserver/line_reader.h"

bool TarvLineReader::ReadByte(char& byte) {
  DataBufferResult r = m_buffer->Read(&byte, 1);
  if (r == DB_OK) return true;
  if (m_end == 0) m_end = r;
  return false;
}

void TarvLineReader::ReadLine(std::string& line) {
  line.clear();
  char byte;
  if (!ReadByte(byte)) return;
  while (byte != '\r' && byte != '\n') {
    line += byte;
    if (!ReadByte(byte)) return;
  }
  // One more byte decides whether the terminator has two bytes. Its failure
  // is not the end yet: the next call finds it.
  char next;
  if (m_buffer->Read(&next, 1) != DB_OK) return;
  char other = byte == '\r' ? '\n' : '\r';
  if (next != other) m_buffer->SetPosition(m_buffer->GetPosition() - 1);
}
