#include "data/data_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();

}  // namespace

// ---- TarvDataBufferMemoryDynamic ----------------------------------------------

uint32_t TarvDataBufferMemoryDynamic::GetSize() { return static_cast<uint32_t>(m_bytes.size()); }

uint32_t TarvDataBufferMemoryDynamic::GetPosition() { return m_position; }

void TarvDataBufferMemoryDynamic::Reserve(size_t needed) {
  size_t capacity = m_bytes.capacity();
  if (needed <= capacity) return;
  m_bytes.reserve(std::max(capacity + capacity / 2, needed));
}

DataBufferResult TarvDataBufferMemoryDynamic::SetSize(uint32_t size) {
  if (size > m_limit) return DB_BUFFER_FULL;
  Reserve(size);
  m_bytes.resize(size, 0);
  m_position = std::min(m_position, size);
  return DB_OK;
}

DataBufferResult TarvDataBufferMemoryDynamic::SetPosition(uint32_t position) {
  if (position <= m_bytes.size()) {
    m_position = position;
    return DB_OK;
  }
  m_position = static_cast<uint32_t>(m_bytes.size());
  return DB_END_OF_DATA;
}

DataBufferResult TarvDataBufferMemoryDynamic::Write(const void* bytes, uint32_t count) {
  if (count == 0) return DB_OK;
  uint64_t end = static_cast<uint64_t>(m_position) + count;
  if (end > kMaxSize || end > m_limit) return DB_BUFFER_FULL;
  if (end > m_bytes.size()) {
    Reserve(end);
    m_bytes.resize(end);
  }
  memcpy(m_bytes.data() + m_position, bytes, count);
  m_position = static_cast<uint32_t>(end);
  return DB_OK;
}

DataBufferResult TarvDataBufferMemoryDynamic::Read(void* destination, uint32_t count) {
  uint32_t available = static_cast<uint32_t>(m_bytes.size()) - m_position;
  uint32_t n = std::min(count, available);
  if (n > 0) memcpy(destination, m_bytes.data() + m_position, n);
  m_position += n;
  return n < count ? DB_END_OF_DATA : DB_OK;
}

// ---- TarvDataBufferMemoryStatic -------------------------------------------------

TarvDataBufferMemoryStatic::TarvDataBufferMemoryStatic(void* memory, uint32_t size, bool owns)
    : m_memory(static_cast<uint8_t*>(memory)), m_size(size), m_owns(owns) {}

TarvDataBufferMemoryStatic::~TarvDataBufferMemoryStatic() {
  if (m_owns) free(m_memory);
}

uint32_t TarvDataBufferMemoryStatic::GetSize() { return m_size; }

DataBufferResult TarvDataBufferMemoryStatic::SetSize(uint32_t) { return DB_WRONG_MODE; }

uint32_t TarvDataBufferMemoryStatic::GetPosition() { return m_position; }

DataBufferResult TarvDataBufferMemoryStatic::SetPosition(uint32_t position) {
  if (position <= m_size) {
    m_position = position;
    return DB_OK;
  }
  m_position = m_size;
  return DB_END_OF_DATA;
}

DataBufferResult TarvDataBufferMemoryStatic::Write(const void* bytes, uint32_t count) {
  uint32_t n = std::min(count, m_size - m_position);
  if (n > 0) memcpy(m_memory + m_position, bytes, n);
  m_position += n;
  return n < count ? DB_BUFFER_FULL : DB_OK;
}

DataBufferResult TarvDataBufferMemoryStatic::Read(void* destination, uint32_t count) {
  uint32_t n = std::min(count, m_size - m_position);
  if (n > 0) memcpy(destination, m_memory + m_position, n);
  m_position += n;
  return n < count ? DB_END_OF_DATA : DB_OK;
}
