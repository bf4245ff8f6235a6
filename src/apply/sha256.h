// The repair's files of session/ name SHA-256 by this include and without
// the namespace; this header forwards them to crypto/. New code includes
// crypto/sha256.h.
#pragma once

#include "crypto/sha256.h"

using TarvCrypto::ComputeFileSha256;
using TarvCrypto::Sha256Hex;
