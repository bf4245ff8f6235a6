// Mappings on Windows: file views from CreateFileMappingW/MapViewOfFile,
// private memory from VirtualAlloc, and a vectored exception handler for
// the in-page error a view raises when its file can no longer be read or
// written.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "data/mapped_file.h"
#include "data/windows_path.h"

namespace TarvFile {
namespace {

void (*volatile g_fault_handler)(const void*) = nullptr;

LONG CALLBACK OnInPageError(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || g_fault_handler == nullptr)
    return EXCEPTION_CONTINUE_SEARCH;
  g_fault_handler(reinterpret_cast<const void*>(record->ExceptionInformation[1]));
  return EXCEPTION_CONTINUE_SEARCH;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool MapView(HANDLE file, DWORD protect, DWORD access, size_t size, Mapping* m) {
  const uint64_t size64 = size;
  HANDLE section = CreateFileMappingW(file, nullptr, protect, static_cast<DWORD>(size64 >> 32),
                                      static_cast<DWORD>(size64), nullptr);
  if (section == nullptr) return Failed();
  void* p = MapViewOfFile(section, access, 0, 0, size);
  const DWORD error = GetLastError();
  CloseHandle(section);  // the view keeps the section alive
  if (p == nullptr) {
    errno = ErrnoFromWindows(error);
    return false;
  }
  m->data = static_cast<unsigned char*>(p);
  m->size = size;
  return true;
}

bool IsView(void* address) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(address, &info, sizeof info) != 0 && info.Type == MEM_MAPPED;
}

}  // namespace

bool MapForReading(const std::string& path, Mapping* m, FileMode* mode) {
  HANDLE file = CreateFileW(WindowsPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    errno = EISDIR;
    return false;
  }
  if (mode) *mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  bool ok = true;
  if (size > SIZE_MAX) {
    errno = EFBIG;
    ok = false;
  } else if (size > 0) {
    ok = MapView(file, PAGE_READONLY, FILE_MAP_READ, static_cast<size_t>(size), m);
  }
  CloseHandle(file);  // the view keeps the file open
  return ok;
}

bool MapForWriting(int fd, size_t size, Mapping* m) {
  if (size == 0) return true;
  return MapView(HandleOf(fd), PAGE_READWRITE, FILE_MAP_WRITE, size, m);
}

bool MapMemory(size_t size, Mapping* m) {
  if (size == 0) return true;
  // Committed pages take physical memory only when touched.
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) return Failed();
  m->data = static_cast<unsigned char*>(p);
  m->size = size;
  return true;
}

bool Unmap(Mapping* m) {
  if (m->data != nullptr) {
    const bool ok =
        IsView(m->data) ? UnmapViewOfFile(m->data) : VirtualFree(m->data, 0, MEM_RELEASE);
    if (!ok) return Failed();
  }
  *m = Mapping();
  return true;
}

size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

void GiveBackPages(void* start, size_t length) {
  if (IsView(start)) {
    // Unlocking pages that are not locked drops them from the working set.
    VirtualUnlock(start, length);
  } else if (VirtualFree(start, length, MEM_DECOMMIT)) {
    // Committed again at once: the range reads as zero, as promised.
    VirtualAlloc(start, length, MEM_COMMIT, PAGE_READWRITE);
  }
}

bool ReserveSpace(int fd, uint64_t size) {
  HANDLE file = HandleOf(fd);
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation))
    return Failed();
  LARGE_INTEGER current;
  if (!GetFileSizeEx(file, &current)) return Failed();
  if (static_cast<uint64_t>(current.QuadPart) >= size) return true;
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) || Failed();
}

// Windows has no call that starts writing a range without waiting for it;
// the cache manager writes dirty pages behind on its own.
void StartWriteBack(int, uint64_t, uint64_t) {}

bool SetMode(int fd, FileMode mode) {
  HANDLE file = HandleOf(fd);
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) return Failed();
  if (mode & 0200)
    info.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
  else
    info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) || Failed();
}

void OnMappingFault(void (*handler)(const void* address)) {
  g_fault_handler = handler;
  static const PVOID registered = AddVectoredExceptionHandler(1, OnInPageError);
  (void)registered;
}

}  // namespace TarvFile
