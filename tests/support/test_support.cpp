#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace tarvtest {

ScopedTempDir::~ScopedTempDir() { RemoveTree(path_); }

std::string ScopedTempDir::Sub(const std::string& relative) const { return path_ + "/" + relative; }

// Paths are UTF-8 on every platform; the path object turns them into the
// system's form (UTF-16 on Windows).
static std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

void WriteFile(const std::string& path, const std::string& bytes) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
  if (!out) {
    ADD_FAILURE() << "cannot write " << path << ": " << strerror(errno);
    return;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) ADD_FAILURE() << "short write to " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path << ": " << strerror(errno);
    return "";
  }
  std::string out;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0)
    out.append(buf, static_cast<size_t>(in.gcount()));
  return out;
}

std::string SourceDir() {
  const char* v = getenv("TARV_SOURCE_DIR");
  return v && *v ? v : TARV_SOURCE_DIR_DEFAULT;
}

std::string BinDir() {
  const char* v = getenv("TARV_BIN_DIR");
  return v && *v ? v : TARV_BIN_DIR_DEFAULT;
}

unsigned UniqueNumber() {
  static std::random_device device;
  return device();
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    memcpy(&s[i], &v, 8);
  }
  for (; i < n; ++i) s[i] = static_cast<char>(rng());
  return s;
}

std::string CodeLike(size_t functions, size_t grown, unsigned seed) {
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  // Each function: items of 3 filler bytes or a branch to another function.
  std::vector<std::vector<uint32_t>> bodies(functions);  // item: 0 filler, else target + 1
  for (auto& body : bodies) {
    size_t items = 20 + next() % 40;
    for (size_t i = 0; i < items; ++i)
      body.push_back(next() % 4 == 0 ? 1 + next() % static_cast<uint32_t>(functions / 2) : 0);
  }
  std::vector<size_t> starts(functions);
  size_t pos = 0;
  for (size_t f = 0; f < functions; ++f) {
    starts[f] = pos;
    if (f == functions / 2) pos += grown;
    for (uint32_t item : bodies[f]) pos += item ? 5 : 3;
  }
  std::string out;
  state = seed * 7 + 1;  // the same filler in both versions
  for (size_t f = 0; f < functions; ++f) {
    if (f == functions / 2) out += RandomBytes(grown, seed + 1);
    for (uint32_t item : bodies[f]) {
      if (item == 0) {
        for (int k = 0; k < 3; ++k) out += static_cast<char>(0x40 + next() % 64);
        continue;
      }
      auto rel = static_cast<uint32_t>(starts[item - 1] - (out.size() + 5));
      out += static_cast<char>(item % 2 ? 0xE8 : 0xE9);
      for (int k = 0; k < 4; ++k) out += static_cast<char>(rel >> (8 * k));
    }
  }
  return out;
}

bool Sanitized() {
  const char* value = getenv("TARV_SANITIZED");
  return value != nullptr && *value != '\0';
}

}  // namespace tarvtest
