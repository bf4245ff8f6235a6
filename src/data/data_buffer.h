// TarvDataBuffer: a sequence of bytes with a read/write position, over a file
// or over memory. Downloads write into one and parsers read from one. Every
// failure is a DataBufferResult code; nothing throws. A buffer is owned by its
// creator, destroyed through the base, and used by one thread at a time.
#pragma once

#include <boost/noncopyable.hpp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum DataBufferResult {
  DB_OK = 0,
  DB_WRONG_MODE = 1,   // not allowed in this access mode or by this kind
  DB_IO_ERROR = 2,     // the file system refused, or moved fewer bytes
  DB_NOT_OPEN = 7,     // a file buffer without an open file
  DB_END_OF_DATA = 8,  // a memory read or seek went past the end
  DB_BUFFER_FULL = 9,  // a fixed memory buffer took only what fitted
};

class TarvDataBuffer : private boost::noncopyable {
 public:
  virtual ~TarvDataBuffer() = default;
  virtual uint32_t GetSize() = 0;
  virtual DataBufferResult SetSize(uint32_t size) = 0;
  virtual uint32_t GetPosition() = 0;
  virtual DataBufferResult SetPosition(uint32_t position) = 0;
  virtual DataBufferResult Write(const void* bytes, uint32_t count) = 0;
  virtual DataBufferResult Read(void* destination, uint32_t count) = 0;
  // Hands buffered bytes on to where they go; DB_IO_ERROR when that fails.
  virtual DataBufferResult Flush() { return DB_OK; }
};

// A buffer over a file. Sizes and positions are 32-bit: a file of 4 GiB or
// more is not opened, and a write or size that would pass 4 GiB is refused
// with DB_IO_ERROR rather than wrapped.
class TarvDataBufferFile : public TarvDataBuffer {
 public:
  enum Mode {
    MODE_READ = 0,       // existing file, read only
    MODE_WRITE = 1,      // created or emptied, write only
    MODE_UPDATE = 2,     // existing file kept (created if missing), write only
    MODE_READWRITE = 3,  // existing file, read and write
  };

  // Opens the file; `\` and `/` both separate folders. A file that cannot be
  // opened leaves the buffer without a file (DB_NOT_OPEN from then on); an
  // unknown mode also prints a line on standard output.
  TarvDataBufferFile(const std::wstring& path, int mode);
  ~TarvDataBufferFile() override;

  bool IsOpen() const { return m_file != nullptr; }
  uint32_t GetSize() override;
  DataBufferResult SetSize(uint32_t size) override;
  uint32_t GetPosition() override;
  DataBufferResult SetPosition(uint32_t position) override;
  DataBufferResult Write(const void* bytes, uint32_t count) override;
  DataBufferResult Read(void* destination, uint32_t count) override;
  // Writes buffered bytes to the file, without waiting for the disk: the
  // files written through here are downloads, checked before anything uses
  // them; what must survive a power loss goes through the file layer.
  DataBufferResult Flush() override;

 private:
  bool MeasureFile();
  bool Reopen();
  void CloseFile();

  FILE* m_file = nullptr;
  int m_mode;
  uint32_t m_size = 0;
  uint32_t m_position = 0;
  bool m_lastWasRead = false;
  std::wstring m_path;
};

// Growable memory. Past `limit` bytes (a cap on what a server may send)
// writes and sizes are refused with DB_BUFFER_FULL; below it nothing fails.
class TarvDataBufferMemoryDynamic : public TarvDataBuffer {
 public:
  explicit TarvDataBufferMemoryDynamic(uint64_t limit = UINT64_MAX) : m_limit(limit) {}

  uint32_t GetSize() override;
  DataBufferResult SetSize(uint32_t size) override;
  uint32_t GetPosition() override;
  DataBufferResult SetPosition(uint32_t position) override;
  DataBufferResult Write(const void* bytes, uint32_t count) override;
  DataBufferResult Read(void* destination, uint32_t count) override;

  // The bytes written so far (GetSize() of them).
  const uint8_t* Data() const { return m_bytes.data(); }

 private:
  void Reserve(size_t needed);

  std::vector<uint8_t> m_bytes;
  uint32_t m_position = 0;
  uint64_t m_limit;
};

// Caller-given memory of a fixed size, read and written in place. When
// `owns` is set the memory came from malloc and is freed with the buffer.
class TarvDataBufferMemoryStatic : public TarvDataBuffer {
 public:
  TarvDataBufferMemoryStatic(void* memory, uint32_t size, bool owns = false);
  ~TarvDataBufferMemoryStatic() override;

  uint32_t GetSize() override;
  DataBufferResult SetSize(uint32_t size) override;  // always DB_WRONG_MODE
  uint32_t GetPosition() override;
  DataBufferResult SetPosition(uint32_t position) override;
  DataBufferResult Write(const void* bytes, uint32_t count) override;
  DataBufferResult Read(void* destination, uint32_t count) override;

 private:
  uint8_t* m_memory;
  uint32_t m_position = 0;
  uint32_t m_size;
  bool m_owns;
};
