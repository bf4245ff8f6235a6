// Windows has no stream over callbacks, so the counting stream writes to a
// temporary file that the system deletes on close; the furthest write is
// the file's size when the stream is closed. Only the size of what a writer
// would leave is wanted, so the file is marked temporary (kept in the cache
// where memory allows) and sparse where the file system has sparse files.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "data/counting_stream.h"
#include "data/windows_path.h"

namespace TarvFile {
namespace {

HANDLE CreateScratchFile() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"cnt", 0, name) == 0)
    return INVALID_HANDLE_VALUE;
  HANDLE file =
      CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileW(name);
    return file;
  }
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  return file;
}

}  // namespace

CountingStream::~CountingStream() { Close(); }

FILE* CountingStream::Open() {
  HANDLE file = CreateScratchFile();
  if (file == INVALID_HANDLE_VALUE) return Failed(), nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), 0x8000 /* binary */);
  if (fd < 0) {
    CloseHandle(file);
    errno = EMFILE;
    return nullptr;
  }
  m_stream = _fdopen(fd, "w+b");
  if (m_stream == nullptr) _close(fd);
  return m_stream;
}

bool CountingStream::Close() {
  if (m_stream == nullptr) return true;
  bool ok = fflush(m_stream) == 0;
  LARGE_INTEGER size;
  if (ok && GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_stream))), &size))
    m_size = static_cast<uint64_t>(size.QuadPart);
  else
    ok = false;
  ok = fclose(m_stream) == 0 && ok;
  m_stream = nullptr;
  return ok;
}

}  // namespace TarvFile
