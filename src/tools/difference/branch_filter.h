// The branch filter for x86-64 code: the relative operands of calls (E8) and
// jumps (E9) turned into absolute targets, and back. When code moves, every
// call to a function that moved with it changes its relative operand; the
// absolute target stays the same, so the difference of two filtered builds
// is much smaller. Applied to any data, the filter is reversible: both ways
// take the same decisions at the same positions.
#pragma once

#include <cstddef>

namespace difference {

// Converts a buffer front to back, in steps as its bytes come (the position
// in the whole file is the index into `data`).
class BranchConverter {
 public:
  explicit BranchConverter(bool to_absolute) : to_absolute_(to_absolute) {}
  // Converts what can be decided from the bytes before `end` and returns
  // the position before which all bytes are final. An instruction whose
  // operand would reach past `end` waits for the next call; at the end of
  // the file, the last bytes (fewer than five) stay as they are.
  size_t Convert(unsigned char* data, size_t end);

 private:
  bool to_absolute_;
  size_t next_ = 0;
  bool has_kept_ = false;  // a branch opcode left alone, at kept_
  size_t kept_ = 0;
};

// Converts a whole buffer.
void ConvertBranches(unsigned char* data, size_t size, bool to_absolute);

}  // namespace difference
