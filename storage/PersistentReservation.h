#ifndef TARROW_STORAGE_PERSISTENTRESERVATION_H
#define TARROW_STORAGE_PERSISTENTRESERVATION_H

#include <string>
#include <vector>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The SCSI-3 persistent reservation commands (SPC-3) this node sends to a
// shared disk, through LinuxDisk::CarryCDB on a descriptor of the
// ScsiTransport in force.
//
// PERSISTENT RESERVE OUT: 10-byte command block {0x5F, service action,
// reservation type (scope 0), 0, 0, 0, 0, 0, 0x18, 0} with a 24-byte
// parameter list {reservation key (8 bytes), service action reservation key
// (8 bytes), 8 zero bytes} sent to the device.
// PERSISTENT RESERVE IN: 10-byte command block {0x5E, service action, 0, 0,
// 0, 0, 0, allocation length (2 bytes, big-endian), 0}; the device answers a
// generation (4 bytes), the length of what follows (4 bytes) and the keys or
// the reservation.
class PersistentReservation : NonCopyable {
 public:
  enum OutAction { RESERVE = 1, RELEASE = 2, CLEAR = 3, REGISTER_AND_IGNORE_EXISTING_KEY = 6 };
  enum InAction { READ_KEYS = 0 };
  enum { OUT_OPCODE = 0x5F, IN_OPCODE = 0x5E };
  static const int kCdbLength = 10;
  static const int kParameterLength = 24;
  static const int kKeyLength = 8;
  // READ KEYS allocation: the 8-byte header and up to 127 keys.
  static const int kReadKeysLength = 8 + 8 * 127;

  static void BuildOutCdb(int action, unsigned char type, unsigned char* cdb);
  // reservationKey and actionKey: 8 bytes each, or nullptr for zeros.
  static void BuildOutParameters(const unsigned char* reservationKey, const unsigned char* actionKey,
                                 unsigned char* list);
  static void BuildInCdb(int action, int allocationLength, unsigned char* cdb);
  // The 8-byte keys of a READ KEYS answer of length bytes (as far as both
  // the answer's own length and length reach).
  static std::vector<std::string> ParseKeys(const unsigned char* data, int length);

  // Commands on descriptor (of ScsiTransport::Get()) for this node's key
  // (8 bytes, copied).
  PersistentReservation(int descriptor, const unsigned char* key);

  // One PERSISTENT RESERVE OUT: the SCSI status byte, -1 when the command
  // did not reach the device or the path to it failed.
  int Out(int action, unsigned char type, const unsigned char* reservationKey, const unsigned char* actionKey);
  // Registers this node's key (REGISTER AND IGNORE EXISTING KEY); the status.
  int Register(unsigned char type);
  // Removes this node's registration (REGISTER AND IGNORE EXISTING KEY with
  // service action key 0); the status.
  int Unregister(unsigned char type);
  // The registered keys; false when the device did not answer with good status.
  bool ReadKeys(std::vector<std::string>* keys);
  // True when the registered keys hold this node's key.
  static bool HoldsKey(const std::vector<std::string>& keys, const unsigned char* key);

 private:
  int _descriptor;
  unsigned char _key[kKeyLength];
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
