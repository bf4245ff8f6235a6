// The repair's tests of session/ name the publisher's keys by this include
// and without the namespace; this header forwards them to crypto/. New code
// includes crypto/publisher_key.h.
#pragma once

#include "crypto/publisher_key.h"

using TarvCrypto::KeyFileState;
using TarvCrypto::LoadPublisherKeys;
using TarvCrypto::PublisherKey;
