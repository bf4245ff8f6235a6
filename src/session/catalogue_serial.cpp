#include "session/catalogue_serial.h"

#include "os/registry.h"
#include "session/installation_record.h"

namespace TarvPatch {
namespace {

constexpr const wchar_t* kSerialValue = L"CatalogueSerial";

}  // namespace

uint64_t ReadCatalogueSerial() {
  OS::RegistryKey key;
  OS::RegistryValue value;
  if (!key.Open(OS::RegistryHive::kMachine, kInstallationKey, OS::RegistryKey::Access::kRead) ||
      !key.QueryValue(kSerialValue, &value) || value.type != OS::RegistryType::kQword ||
      value.data.size() != 8) {
    return 0;
  }
  uint64_t serial = 0;
  for (size_t i = 8; i-- > 0;) serial = serial << 8 | value.data[i];
  return serial;
}

bool StoreCatalogueSerial(uint64_t serial) {
  OS::RegistryValue value;
  value.type = OS::RegistryType::kQword;
  for (int i = 0; i < 8; ++i) value.data.push_back(static_cast<uint8_t>(serial >> (8 * i)));
  OS::RegistryKey key;
  return key.Create(OS::RegistryHive::kMachine, kInstallationKey) &&
         key.SetValue(kSerialValue, value);
}

}  // namespace TarvPatch
