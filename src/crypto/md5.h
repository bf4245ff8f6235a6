// MD5: the RFC 1321 digest with which the patcher identifies the content of
// an installed file, written as 32 lower-case hexadecimal digits. One object
// digests one message: fill it with update, finalize it, read hex_digest.
// Not thread-safe; one owner. Misuse (update or finalize after finalize,
// hex_digest before it) is reported as one line on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace TarvCrypto {

class MD5 {
 public:
  MD5();
  // Digests the whole stream from its current position, closes it and
  // finalizes. The stream belongs to the object from here on.
  explicit MD5(FILE* file);
  MD5(const MD5&) = delete;
  MD5& operator=(const MD5&) = delete;

  void update(const unsigned char* input, size_t length);
  // Reads the stream to its end, adds every byte and closes the stream. False
  // when a read failed (the digest then covers only the bytes read).
  bool update(FILE* file);
  void finalize();
  // 32 lower-case hexadecimal digits and a terminating zero; an empty text
  // when the digest is not finalized yet.
  std::unique_ptr<char[]> hex_digest() const;

 private:
  uint32_t m_state[4];
  uint32_t m_count[2];  // bits processed, low word first
  unsigned char m_buffer[64];
  unsigned char m_digest[16];
  bool m_finalized = false;
};

// The digest of the file at `path` as 32 lower-case hexadecimal digits in
// `digest`. False, with `digest` unchanged, when the path is not a regular
// file that can be opened and read to its end.
bool ComputeFileMD5(const std::wstring& path, std::wstring& digest);

}  // namespace TarvCrypto
