// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "crypto/sha256.h"

namespace TarvCrypto {

struct Sha256State {
  EVP_MD_CTX* context;
};

Sha256::Sha256() : m_state(new Sha256State{EVP_MD_CTX_new()}), m_ok(false) {
  m_ok = m_state->context != nullptr &&
         EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(m_state->context);
  delete m_state;
}

void Sha256::Update(const void* bytes, size_t size) {
  if (m_ok && size > 0) m_ok = EVP_DigestUpdate(m_state->context, bytes, size) == 1;
}

bool Sha256::Finish(Sha256Digest* digest) {
  unsigned int length = 0;
  const bool ok = m_ok && EVP_DigestFinal_ex(m_state->context, digest->data(), &length) == 1 &&
                  length == digest->size();
  m_ok = false;
  return ok;
}

}  // namespace TarvCrypto
