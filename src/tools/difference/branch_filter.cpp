#include "branch_filter.h"

#include <cstdint>
#include <cstring>

namespace difference {
namespace {

// The operands converted: those whose top byte is 0x00 or 0xFF (a step of
// less than 16 MiB either way, as nearly all calls and jumps inside one
// program are). The conversion keeps an operand in that class.
constexpr uint32_t kSpace = uint32_t{1} << 25;

bool IsBranch(unsigned char op) { return op == 0xE8 || op == 0xE9; }

}  // namespace

size_t BranchConverter::Convert(unsigned char* data, size_t end) {
  size_t i = next_;
  while (i + 5 <= end) {
    // Eight bytes at a time past those without a branch opcode (a byte of
    // (b & FE) ^ E8 is zero only for E8 and E9).
    while (i + 13 <= end) {
      uint64_t w;
      memcpy(&w, data + i, sizeof w);
      const uint64_t x = (w & 0xFEFEFEFEFEFEFEFEull) ^ 0xE8E8E8E8E8E8E8E8ull;
      if (((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    unsigned char* p = data + i;
    if (!IsBranch(p[0])) {
      ++i;
      continue;
    }
    // An operand is converted when its top byte is in the class and no
    // branch left alone lies less than four bytes before: such a branch's
    // own top byte is among this operand's lower bytes, and converting them
    // would change the decision the other direction takes there.
    if ((p[4] != 0x00 && p[4] != 0xFF) || (has_kept_ && i - kept_ <= 3)) {
      has_kept_ = true;
      kept_ = i;
      ++i;
      continue;
    }
    uint32_t v = static_cast<uint32_t>(p[1]) | static_cast<uint32_t>(p[2]) << 8 |
                 static_cast<uint32_t>(p[3]) << 16 | static_cast<uint32_t>(p[4]) << 24;
    // The operand counts from the next instruction; modulo 2^25, sign
    // extended back to 32 bits.
    const auto next = static_cast<uint32_t>(i + 5);
    v = to_absolute_ ? v + next : v - next;
    v &= kSpace - 1;
    if (v & (kSpace >> 1)) v |= ~(kSpace - 1);
    p[1] = static_cast<unsigned char>(v);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v >> 16);
    p[4] = static_cast<unsigned char>(v >> 24);
    i += 5;
  }
  next_ = i;
  return i;
}

void ConvertBranches(unsigned char* data, size_t size, bool to_absolute) {
  BranchConverter(to_absolute).Convert(data, size);
}

}  // namespace difference
