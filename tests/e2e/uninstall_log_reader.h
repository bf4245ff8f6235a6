// A reader and writer of uninstaller logs for the tests, written apart from
// the program's own code (its own CRC-32, its own block walk and record
// parser), so that a fault in the program's update cannot hide behind the
// same fault in the check. Header-only; used by the unit tests of session/
// and by the end-to-end tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvtest::unins {

inline uint32_t Crc32(const std::string& bytes, size_t begin = 0,
                      size_t count = std::string::npos) {
  if (count == std::string::npos) count = bytes.size() - begin;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = begin; i < begin + count; ++i) {
    crc ^= static_cast<uint8_t>(bytes[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline uint32_t Get32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

inline void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

inline std::string Le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

struct Record {
  uint16_t type = 0;
  int32_t extra = 0;
  std::string data;
  std::string Bytes() const {
    return Le(type, 2) + Le(static_cast<uint32_t>(extra), 4) + Le(data.size(), 4) + data;
  }
};

struct Log {
  std::string error;  // empty when the log holds together
  int32_t count = 0;
  uint32_t end_offset = 0;
  std::vector<uint32_t> block_sizes;
  std::vector<Record> records;
};

// Walks the whole log: header CRC, every block (size, complement, CRC), then
// exactly `count` records in the joined block data, nothing left over.
inline Log Parse(const std::string& b) {
  Log log;
  if (b.size() < 448) return log.error = "short header", log;
  if (Crc32(b, 0, 444) != Get32(b, 444)) return log.error = "header crc", log;
  log.count = static_cast<int32_t>(Get32(b, 324));
  log.end_offset = Get32(b, 328);
  std::string stream;
  size_t pos = 448;
  while (pos < b.size()) {
    if (b.size() - pos < 12) return log.error = "cut block header", log;
    const uint32_t n = Get32(b, pos);
    if (Get32(b, pos + 4) != ~n) return log.error = "size complement", log;
    if (n > 4096 || b.size() - pos - 12 < n) return log.error = "block size", log;
    if (Crc32(b, pos + 12, n) != Get32(b, pos + 8)) return log.error = "block crc", log;
    if (!log.block_sizes.empty() && log.block_sizes.back() != 4096)
      return log.error = "short inner block", log;
    log.block_sizes.push_back(n);
    stream.append(b, pos + 12, n);
    pos += 12 + n;
  }
  if (log.block_sizes.empty()) return log.error = "no block", log;
  size_t at = 0;
  for (int32_t i = 0; i < log.count; ++i) {
    if (stream.size() - at < 10) return log.error = "cut record", log;
    Record r;
    r.type = static_cast<uint16_t>(static_cast<uint8_t>(stream[at]) |
                                   static_cast<uint8_t>(stream[at + 1]) << 8);
    r.extra = static_cast<int32_t>(Get32(stream, at + 2));
    const uint32_t d = Get32(stream, at + 6);
    if (stream.size() - at - 10 < d) return log.error = "cut record data", log;
    r.data = stream.substr(at + 10, d);
    log.records.push_back(r);
    at += 10 + d;
  }
  if (at != stream.size()) log.error = "bytes after the last record";
  return log;
}

// The path of a delete-file record, or "" with `ok` false when the record is
// not one (type, extra, compact string, list end).
inline std::string DeletePath(const Record& r, bool* ok) {
  *ok = false;
  const std::string& d = r.data;
  if (r.type != 0x82 || r.extra != 0 || d.empty()) return "";
  size_t len = 0, skip = 0;
  const uint8_t tag = static_cast<uint8_t>(d[0]);
  if (tag < 0xFD) {
    len = tag, skip = 1;
  } else if (tag == 0xFD && d.size() >= 3) {
    len = static_cast<uint8_t>(d[1]) | static_cast<uint8_t>(d[2]) << 8, skip = 3;
  } else if (tag == 0xFE && d.size() >= 5) {
    len = Get32(d, 1), skip = 5;
  } else {
    return "";
  }
  if (d.size() != skip + len + 1 || static_cast<uint8_t>(d.back()) != 0xFF) return "";
  *ok = true;
  return d.substr(skip, len);
}

// A log of the given records, cut into 4096-byte blocks; the record count and
// end offset (the file size) are filled in and the CRCs computed.
inline std::string Build(const std::vector<Record>& records) {
  std::string header(448, '\0');
  const std::string id = "Inno Setup Uninstall Log (b)";
  header.replace(0, id.size(), id);
  const std::string app = "Tarv";
  header.replace(64, app.size(), app);
  std::string stream;
  for (const auto& r : records) stream += r.Bytes();
  std::string blocks;
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(4096, stream.size() - pos);
    const std::string data = stream.substr(pos, n);
    blocks += Le(n, 4) + Le(~static_cast<uint32_t>(n), 4) + Le(Crc32(data), 4) + data;
    pos += n;
  } while (pos < stream.size());
  Put32(header, 324, static_cast<uint32_t>(records.size()));
  Put32(header, 328, static_cast<uint32_t>(448 + blocks.size()));
  Put32(header, 444, Crc32(header, 0, 444));
  return header + blocks;
}

// A record of exactly `total` bytes (at least 10) of the given type.
inline Record Filler(uint16_t type, size_t total, char fill = 'x') {
  Record r;
  r.type = type;
  r.data.assign(total - 10, fill);
  return r;
}

}  // namespace tarvtest::unins
