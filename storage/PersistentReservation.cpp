#include "storage/PersistentReservation.h"

#include <string.h>

#include "storage/LinuxDisk.h"
#include "storage/ScsiTransport.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

void PersistentReservation::BuildOutCdb(int action, unsigned char type, unsigned char* cdb) {
  memset(cdb, 0, kCdbLength);
  cdb[0] = OUT_OPCODE;
  cdb[1] = static_cast<unsigned char>(action & 0x1F);
  cdb[2] = static_cast<unsigned char>(type & 0x0F);
  cdb[8] = kParameterLength;
}

void PersistentReservation::BuildOutParameters(const unsigned char* reservationKey, const unsigned char* actionKey,
                                               unsigned char* list) {
  memset(list, 0, kParameterLength);
  if (reservationKey != nullptr) memcpy(list, reservationKey, kKeyLength);
  if (actionKey != nullptr) memcpy(list + kKeyLength, actionKey, kKeyLength);
}

void PersistentReservation::BuildInCdb(int action, int allocationLength, unsigned char* cdb) {
  memset(cdb, 0, kCdbLength);
  cdb[0] = IN_OPCODE;
  cdb[1] = static_cast<unsigned char>(action & 0x1F);
  cdb[7] = static_cast<unsigned char>((allocationLength >> 8) & 0xFF);
  cdb[8] = static_cast<unsigned char>(allocationLength & 0xFF);
}

std::vector<std::string> PersistentReservation::ParseKeys(const unsigned char* data, int length) {
  std::vector<std::string> keys;
  if (length < 8) return keys;
  const unsigned long listed = (static_cast<unsigned long>(data[4]) << 24) | (static_cast<unsigned long>(data[5]) << 16) |
                               (static_cast<unsigned long>(data[6]) << 8) | data[7];
  unsigned long end = 8 + listed;
  if (end > static_cast<unsigned long>(length)) end = static_cast<unsigned long>(length);
  for (unsigned long at = 8; at + kKeyLength <= end; at += kKeyLength) {
    keys.push_back(std::string(reinterpret_cast<const char*>(data + at), kKeyLength));
  }
  return keys;
}

PersistentReservation::PersistentReservation(int descriptor, const unsigned char* key) : _descriptor(descriptor) {
  memcpy(_key, key, kKeyLength);
}

int PersistentReservation::Out(int action, unsigned char type, const unsigned char* reservationKey,
                               const unsigned char* actionKey) {
  unsigned char cdb[kCdbLength];
  unsigned char list[kParameterLength];
  BuildOutCdb(action, type, cdb);
  BuildOutParameters(reservationKey, actionKey, list);
  int status = -1;
  if (!LinuxDisk::CarryCDB(_descriptor, cdb, kCdbLength, list, kParameterLength, &status, ScsiTransport::TO_DEVICE)) {
    return -1;
  }
  return status;
}

int PersistentReservation::Register(unsigned char type) {
  return Out(REGISTER_AND_IGNORE_EXISTING_KEY, type, nullptr, _key);
}

int PersistentReservation::Unregister(unsigned char type) {
  return Out(REGISTER_AND_IGNORE_EXISTING_KEY, type, nullptr, nullptr);
}

bool PersistentReservation::ReadKeys(std::vector<std::string>* keys) {
  unsigned char cdb[kCdbLength];
  BuildInCdb(READ_KEYS, kReadKeysLength, cdb);
  unsigned char answer[kReadKeysLength];
  memset(answer, 0, sizeof(answer));
  int status = -1;
  if (!LinuxDisk::CarryCDB(_descriptor, cdb, kCdbLength, answer, kReadKeysLength, &status,
                           ScsiTransport::FROM_DEVICE) ||
      status != 0) {
    return false;
  }
  *keys = ParseKeys(answer, kReadKeysLength);
  return true;
}

bool PersistentReservation::HoldsKey(const std::vector<std::string>& keys, const unsigned char* key) {
  const std::string wanted(reinterpret_cast<const char*>(key), kKeyLength);
  for (const std::string& k : keys) {
    if (k == wanted) return true;
  }
  return false;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
