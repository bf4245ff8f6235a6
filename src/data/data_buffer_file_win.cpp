// Windows file calls behind TarvDataBufferFile: C runtime streams opened
// with UTF-16 names.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <limits>

#include "data/data_buffer.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "data/windows_path.h"

namespace {

constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();

const char* OpenModeFor(int mode) {
  switch (mode) {
    case TarvDataBufferFile::MODE_READ:
      return "rb";
    case TarvDataBufferFile::MODE_WRITE:
      return "wb";
    default:
      return "r+b";
  }
}

// A stream over a handle shared for deletion, so that the file may be
// removed or renamed while the buffer holds it, as on POSIX.
FILE* OpenStream(const std::wstring& path, const char* mode) {
  const bool write = mode[0] == 'w';
  const bool update = mode[1] == '+';
  const DWORD access =
      write ? GENERIC_WRITE : (update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
  HANDLE handle =
      CreateFileW(TarvFile::WindowsPath(TarvUtil::FsPath(path)).c_str(), access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  constexpr int kReadOnly = 0x0000, kWriteOnly = 0x0001, kReadWrite = 0x0002, kBinary = 0x8000;
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                      kBinary | (write ? kWriteOnly : (update ? kReadWrite : kReadOnly)));
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) _close(fd);
  return stream;
}

}  // namespace

// ---- TarvDataBufferFile ----------------------------------------------------

TarvDataBufferFile::TarvDataBufferFile(const std::wstring& path, int mode)
    : m_mode(mode), m_path(path) {
  TarvUtil::NormalizeSeparators(m_path, L'\\');
  if (mode < MODE_READ || mode > MODE_READWRITE) {
    std::cout << "TarvDataBufferFile> unknown access mode " << mode << std::endl;
    return;
  }
  m_file = OpenStream(m_path, OpenModeFor(mode));
  if (m_file == nullptr && mode == MODE_UPDATE) m_file = OpenStream(m_path, "wb");
  if (m_file == nullptr) return;
  if (mode != MODE_WRITE && !MeasureFile()) CloseFile();
}

TarvDataBufferFile::~TarvDataBufferFile() { CloseFile(); }

bool TarvDataBufferFile::MeasureFile() {
  TarvFile::FileStatus status;
  if (!TarvFile::StatusOfStream(m_file, &status) || status.type == TarvFile::FileType::kFolder)
    return false;
  if (status.size > kMaxSize) return false;  // beyond 32 bits
  m_size = static_cast<uint32_t>(status.size);
  m_lastWasRead = true;
  return true;
}

void TarvDataBufferFile::CloseFile() {
  if (m_file != nullptr) fclose(m_file);
  m_file = nullptr;
}

// Switching between reading and writing on a read-write file goes through a
// fresh stream; if that fails the buffer is without a file from then on.
bool TarvDataBufferFile::Reopen() {
  CloseFile();
  m_file = OpenStream(m_path, "r+b");
  if (m_file == nullptr) return false;
  if (_fseeki64(m_file, m_position, SEEK_SET) != 0) {
    CloseFile();
    return false;
  }
  return true;
}

uint32_t TarvDataBufferFile::GetSize() { return m_file ? m_size : 0; }

uint32_t TarvDataBufferFile::GetPosition() { return m_file ? m_position : 0; }

DataBufferResult TarvDataBufferFile::SetPosition(uint32_t position) {
  if (m_file == nullptr) return DB_NOT_OPEN;
  if (_fseeki64(m_file, position, SEEK_SET) != 0) return DB_IO_ERROR;
  m_position = position;
  return DB_OK;
}

DataBufferResult TarvDataBufferFile::SetSize(uint32_t size) {
  if (m_file == nullptr) return DB_NOT_OPEN;
  if (fflush(m_file) != 0 || _chsize_s(_fileno(m_file), size) != 0) return DB_IO_ERROR;
  DataBufferResult r = SetPosition(std::min(size, m_position));
  if (r != DB_OK) return r;
  m_size = size;
  return DB_OK;
}

DataBufferResult TarvDataBufferFile::Write(const void* bytes, uint32_t count) {
  if (m_file == nullptr) return DB_NOT_OPEN;
  if (m_mode == MODE_READ) return DB_WRONG_MODE;
  if (count == 0) return DB_OK;
  if (m_lastWasRead && m_mode == MODE_READWRITE && !Reopen()) return DB_NOT_OPEN;
  m_lastWasRead = false;
  if (static_cast<uint64_t>(m_position) + count > kMaxSize) return DB_IO_ERROR;
  size_t written = fwrite(bytes, 1, count, m_file);
  m_position += static_cast<uint32_t>(written);
  m_size = std::max(m_size, m_position);
  return written == count ? DB_OK : DB_IO_ERROR;
}

DataBufferResult TarvDataBufferFile::Read(void* destination, uint32_t count) {
  if (m_file == nullptr) return DB_NOT_OPEN;
  if (m_mode == MODE_WRITE || m_mode == MODE_UPDATE) return DB_WRONG_MODE;
  if (count == 0) return DB_OK;
  if (!m_lastWasRead && m_mode == MODE_READWRITE && !Reopen()) return DB_NOT_OPEN;
  m_lastWasRead = true;
  size_t got = fread(destination, 1, count, m_file);
  m_position += static_cast<uint32_t>(got);
  return got == count ? DB_OK : DB_IO_ERROR;
}

DataBufferResult TarvDataBufferFile::Flush() {
  if (m_file == nullptr) return DB_NOT_OPEN;
  return fflush(m_file) == 0 ? DB_OK : DB_IO_ERROR;
}
