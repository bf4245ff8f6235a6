#include "data/counting_stream.h"

#include <algorithm>

namespace TarvFile {

void CountingStream::Wrote(size_t n) {
  m_pos += n;
  m_size = std::max(m_size, m_pos);
}

bool CountingStream::Seek(int64_t offset, int whence, int64_t* at) {
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<int64_t>(m_pos)
                                            : static_cast<int64_t>(m_size);
  if (base + offset < 0) return false;
  m_pos = static_cast<uint64_t>(base + offset);
  *at = static_cast<int64_t>(m_pos);
  return true;
}

}  // namespace TarvFile
