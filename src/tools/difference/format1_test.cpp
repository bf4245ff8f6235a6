// The first difference format in the process: what the writer makes, the
// reader rebuilds exactly; a frame the reader cannot trust (no size, no
// checksum, cut short, trailing data, made for another old file) is refused
// with its reason before or while anything is written.
#include <gtest/gtest.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "format1_reader.h"
#include "format1_writer.h"
#include "support/test_support.h"

namespace {

using tarvtest::RandomBytes;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Make(const std::string& old_data, const std::string& new_data, int level = 3) {
  std::string out, why;
  EXPECT_TRUE(difference::WriteFormat1(
      Bytes(old_data), old_data.size(), Bytes(new_data), new_data.size(), level,
      [&out](const unsigned char* data, size_t n) {
        out.append(reinterpret_cast<const char*>(data), n);
        return true;
      },
      &why))
      << why;
  return out;
}

// Checks and applies; false with the reason when refused.
bool Apply(const std::string& old_data, const std::string& diff, std::string* out, std::string* why,
           size_t* progress_calls = nullptr) {
  uint64_t size = 0;
  if (!difference::ReadFormat1Header(Bytes(diff), diff.size(), &size, why)) return false;
  out->assign(size, '\0');
  size_t calls = 0;
  const bool ok =
      difference::ApplyFormat1(Bytes(old_data), old_data.size(), Bytes(diff), diff.size(),
                               reinterpret_cast<unsigned char*>(out->data()), out->size(), why,
                               [&calls](size_t, size_t) { ++calls; });
  if (progress_calls != nullptr) *progress_calls = calls;
  return ok;
}

// A plain zstd frame of `data` without the fields the reader insists on.
std::string PlainFrame(const std::string& data, bool size_flag, bool checksum) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, size_flag ? 1 : 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_outBuffer o = {out.data(), out.size(), 0};
  ZSTD_inBuffer in = {data.data(), data.size(), 0};
  ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
  ZSTD_freeCCtx(cctx);
  out.resize(o.pos);
  return out;
}

TEST(Format1Test, RoundTrips) {
  const std::string base = RandomBytes(3u << 20, 11);
  std::string edited = base;
  for (size_t i = 100; i < edited.size(); i += 65537) edited[i] ^= 0x5A;
  edited.insert(edited.size() / 3, RandomBytes(70000, 12));
  struct Case {
    const char* name;
    std::string old_data, new_data;
    int level;
  } cases[] = {
      {"edited", base, edited, 3},
      {"edited, optimal parser", base, edited, 19},
      {"empty old", "", RandomBytes(5000, 13), 3},
      {"empty new", base, "", 3},
      {"identical", base, base, 3},
  };
  for (const Case& c : cases) {
    const std::string diff = Make(c.old_data, c.new_data, c.level);
    std::string out, why;
    size_t calls = 0;
    EXPECT_TRUE(Apply(c.old_data, diff, &out, &why, &calls)) << c.name << ": " << why;
    EXPECT_TRUE(out == c.new_data) << c.name;
    // A difference larger than the first piece fed reports its progress.
    if (diff.size() > 4096) {
      EXPECT_GT(calls, 0u) << c.name;
    }
  }
}

TEST(Format1Test, UntrustworthyFramesAreRefusedWithTheirReason) {
  const std::string old_data = RandomBytes(200000, 21);
  std::string new_data = old_data;
  for (size_t i = 50; i < new_data.size(); i += 1009) new_data[i] ^= 1;
  const std::string diff = Make(old_data, new_data);
  std::string other_old = old_data;
  other_old[70000] ^= 0x40;
  struct Case {
    const char* name;
    std::string old_data, diff;
    const char* why;
  } cases[] = {
      {"empty", old_data, "", "not a zstd frame"},
      {"not a frame", old_data, "TarvDif2 and more", "not a zstd frame"},
      {"no output size", old_data, PlainFrame(new_data, false, true),
       "the frame does not record the output size"},
      {"no checksum", old_data, PlainFrame(new_data, true, false), "the frame carries no checksum"},
      {"cut short", old_data, diff.substr(0, diff.size() - 1), "the frame is damaged or cut short"},
      {"data after", old_data, diff + "x", "data after the frame"},
      {"another old file", other_old, diff,
       "the difference does not apply: Restored data doesn't match checksum"},
  };
  for (const Case& c : cases) {
    std::string out, why;
    EXPECT_FALSE(Apply(c.old_data, c.diff, &out, &why)) << c.name;
    EXPECT_EQ(why, c.why) << c.name;
  }
}

TEST(Format1Test, AFailingSinkEndsTheWriting) {
  const std::string data = RandomBytes(100000, 31);
  std::string why;
  errno = 0;
  EXPECT_FALSE(difference::WriteFormat1(
      Bytes(data), data.size(), Bytes(data), data.size(), 3,
      [](const unsigned char*, size_t) {
        errno = ENOSPC;
        return false;
      },
      &why));
  EXPECT_EQ(why, std::string("cannot write the difference: ") + strerror(ENOSPC));
}

}  // namespace
