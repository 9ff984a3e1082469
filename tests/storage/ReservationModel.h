#ifndef TARROW_TESTS_STORAGE_RESERVATIONMODEL_H
#define TARROW_TESTS_STORAGE_RESERVATIONMODEL_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "storage/ScsiTransport.h"

namespace storage_test {

// One shared disk's SCSI-3 persistent reservations as SPC-3 keeps them, for
// any number of initiators (one per node; ModelScsiTransport sends for one).
// Registrations are per initiator; one reservation at most, held by the
// initiator that took it.
//
// PERSISTENT RESERVE OUT (0x5F, parameter list of 24 bytes):
// - REGISTER AND IGNORE EXISTING KEY (6): the initiator's key becomes the
//   service action key; key 0 unregisters it (and drops its reservation).
// - RESERVE (1), RELEASE (2), CLEAR (3): an initiator that is not
//   registered with the given key gets RESERVATION CONFLICT (0x18).
//   RESERVE while another initiator holds the reservation, or the holder
//   asks for another type: conflict. RELEASE by another initiator or
//   without a reservation does nothing; by the holder with another type:
//   CHECK CONDITION (0x02). CLEAR drops every registration and the
//   reservation.
// PERSISTENT RESERVE IN (0x5E): READ KEYS (0). Anything else: CHECK CONDITION.
class ReservationModel {
 public:
  enum Mode {
    SUPPORTED,      // as above
    NOT_SUPPORTED,  // every command ends in CHECK CONDITION (a disk without persistent reservations)
    BROKEN_PATH     // nothing reaches the disk: adapter status DID_NO_CONNECT (1) with status byte 0
  };

  struct Command {
    std::string initiator;
    std::vector<unsigned char> cdb;
    std::vector<unsigned char> parameters;  // what went to the device (PERSISTENT RESERVE OUT)
    int status;
  };

  void SetMode(Mode mode);
  // Called after each command, outside the model's lock.
  void SetObserver(std::function<void(const Command&)> observer);

  // Carries out one command for initiator.
  void Execute(const std::string& initiator, const unsigned char* cdb, int cdbLength, unsigned char* data,
               int dataLength, int direction, Oxbrindale::Velmora::Framework::ScsiTransport::Outcome* outcome);

  std::vector<Command> Log();
  void ClearLog();
  // initiator -> key (8 bytes).
  std::map<std::string, std::string> Registrations();
  // The holder of the reservation ("" when none) and its type.
  std::string Holder();
  int ReservationType();

 private:
  int _Out(const std::string& initiator, int action, int type, const std::string& key, const std::string& actionKey);
  int _In(int action, unsigned char* data, int dataLength);

  std::mutex mutex_;
  Mode mode_ = SUPPORTED;
  std::map<std::string, std::string> registrations_;
  std::string holder_;
  int type_ = 0;
  unsigned generation_ = 0;
  std::vector<Command> log_;
  std::function<void(const Command&)> observer_;
};

}  // namespace storage_test

#endif
