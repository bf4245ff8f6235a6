// The highest serial of a signed patch catalogue that this installation has
// accepted, kept in the machine hive beside the installation record (value
// "CatalogueSerial", a 64-bit number, under the installation key). A server
// offering a catalogue with a lower serial is replaying an old one. Safe
// from any thread; each call opens its own key.
#pragma once

#include <cstdint>

namespace TarvPatch {

// 0 when no serial was stored, or the value is not a 64-bit number.
uint64_t ReadCatalogueSerial();

// Stores `serial` (creating the key when missing). False when the hive
// cannot be written.
bool StoreCatalogueSerial(uint64_t serial);

}  // namespace TarvPatch
