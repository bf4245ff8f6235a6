// SHA-256 through the system's CNG (bcrypt.dll): one algorithm provider
// for the process, one hash object per digest.
#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "crypto/sha256.h"

namespace TarvCrypto {

struct Sha256State {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

// Opened once; the provider is safe to share between threads.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    return BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 ? handle
                                                                                          : nullptr;
  }();
  return provider;
}

}  // namespace

Sha256::Sha256() : m_state(new Sha256State), m_ok(false) {
  BCRYPT_ALG_HANDLE provider = Provider();
  m_ok = provider != nullptr &&
         BCryptCreateHash(provider, &m_state->hash, nullptr, 0, nullptr, 0, 0) == 0;
}

Sha256::~Sha256() {
  if (m_state->hash != nullptr) BCryptDestroyHash(m_state->hash);
  delete m_state;
}

void Sha256::Update(const void* bytes, size_t size) {
  // CNG takes at most 4 GiB - 1 bytes a call.
  auto* p = static_cast<unsigned char*>(const_cast<void*>(bytes));
  while (m_ok && size > 0) {
    const ULONG piece =
        static_cast<ULONG>(std::min<size_t>(size, std::numeric_limits<ULONG>::max()));
    m_ok = BCryptHashData(m_state->hash, p, piece, 0) == 0;
    p += piece;
    size -= piece;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  const bool ok = m_ok && BCryptFinishHash(m_state->hash, digest->data(),
                                           static_cast<ULONG>(digest->size()), 0) == 0;
  m_ok = false;
  return ok;
}

}  // namespace TarvCrypto
