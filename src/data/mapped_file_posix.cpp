#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "data/mapped_file.h"

namespace TarvFile {
namespace {

void (*volatile g_fault_handler)(const void*) = nullptr;

void OnBusError(int, siginfo_t* info, void*) { g_fault_handler(info->si_addr); }

}  // namespace

bool MapForReading(const std::string& path, Mapping* m, FileMode* mode) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (errno == 0 || S_ISDIR(st.st_mode)) errno = EISDIR;
    close(fd);
    return false;
  }
  if (mode) *mode = st.st_mode & 07777;
  m->size = static_cast<size_t>(st.st_size);
  if (m->size > 0) {
    void* p = mmap(nullptr, m->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      const int err = errno;
      close(fd);
      m->size = 0;
      errno = err;
      return false;
    }
    m->data = static_cast<unsigned char*>(p);
  }
  close(fd);
  return true;
}

bool MapForWriting(int fd, size_t size, Mapping* m) {
  if (size == 0) return true;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  m->data = static_cast<unsigned char*>(p);
  m->size = size;
  return true;
}

bool MapMemory(size_t size, Mapping* m) {
  if (size == 0) return true;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return false;
  madvise(p, size, MADV_HUGEPAGE);  // a hint: fewer faults where the kernel has them
  m->data = static_cast<unsigned char*>(p);
  m->size = size;
  return true;
}

bool Unmap(Mapping* m) {
  if (m->data != nullptr && munmap(m->data, m->size) != 0) return false;
  *m = Mapping();
  return true;
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void GiveBackPages(void* start, size_t length) { madvise(start, length, MADV_DONTNEED); }

bool ReserveSpace(int fd, uint64_t size) {
  int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc == 0) return true;
  errno = rc;
  return false;
}

void StartWriteBack(int fd, uint64_t offset, uint64_t length) {
  sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                  SYNC_FILE_RANGE_WRITE);
}

bool SetMode(int fd, FileMode mode) { return fchmod(fd, mode) == 0; }

void OnMappingFault(void (*handler)(const void* address)) {
  g_fault_handler = handler;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnBusError;
  sa.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &sa, nullptr);
}

}  // namespace TarvFile
