// Whole files and anonymous memory mapped into the process, for the tools
// that read and write large files without copying them (the difference
// tool, the publisher's tool): mapping, reserving disk space before a
// mapped write, giving passed pages back, and the fault a mapping raises
// when its file shrinks or its disk fills up. Failures report by the result
// with errno set. One thread per mapping; the fault handler is process-wide.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "data/file_io.h"

namespace TarvFile {

// A mapping; an empty file or size maps to nothing (data null, size 0).
struct Mapping {
  unsigned char* data = nullptr;
  size_t size = 0;
};

// Maps the regular file at `path` for reading (changes to the file are not
// promised to show). `mode` (may be null) gets its permission bits.
// Something that is not a regular file fails with EISDIR unless the system
// named another reason.
bool MapForReading(const std::string& path, Mapping* mapping, FileMode* mode = nullptr);
// Maps the first `size` bytes of the open file `fd` for reading and writing,
// shared with the file.
bool MapForWriting(int fd, size_t size, Mapping* mapping);
// Private memory of `size` bytes, committed only as it is touched, with
// large pages asked for where the system has them.
bool MapMemory(size_t size, Mapping* mapping);
// Unmaps and empties `mapping`; true for an empty one.
bool Unmap(Mapping* mapping);

// The size of a memory page.
size_t PageSize();
// Gives the pages of [start, start + length) back to the system: the
// process no longer holds them (a file's pages stay in the cache, memory
// reads as zero again). `start` is page-aligned; a hint that may be refused.
void GiveBackPages(void* start, size_t length);

// Reserves `size` bytes of the open file on disk, so that a full disk is an
// error here and not a fault of a later write through a mapping.
bool ReserveSpace(int fd, uint64_t size);
// Starts writing [offset, offset + length) of the open file to disk without
// waiting for it (a hint: refused, it changes nothing).
void StartWriteBack(int fd, uint64_t offset, uint64_t length);
// Sets the permission bits of an open file.
bool SetMode(int fd, FileMode mode);

// Calls `handler` with the address touched when a mapping can no longer be
// read or written (its file shrank, its disk filled up). The handler runs
// inside a signal handler: it may only use calls safe there (such as
// UnlinkUncounted and OS::ExitNow) and must end the process.
void OnMappingFault(void (*handler)(const void* address));
}  // namespace TarvFile
