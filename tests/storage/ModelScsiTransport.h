#ifndef TARROW_TESTS_STORAGE_MODELSCSITRANSPORT_H
#define TARROW_TESTS_STORAGE_MODELSCSITRANSPORT_H

#include <atomic>
#include <string>

#include "ReservationModel.h"
#include "storage/ScsiTransport.h"

namespace storage_test {

// The SCSI transport of one node (initiator) to a ReservationModel disk.
// Open answers a descriptor for any device whose system path exists (as
// the real transport's open would) and counts the opens; Execute hands the
// command to the model. Install with ScsiTransport::Set; the scope guard
// Installed removes it again.
class ModelScsiTransport : public Oxbrindale::Velmora::Framework::ScsiTransport {
 public:
  ModelScsiTransport(ReservationModel& model, std::string initiator);

  int Open(const std::string& devicePath) override;
  void Close(int descriptor) override;
  bool Execute(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data, int dataLength,
               int direction, Outcome* outcome) override;

  int Opens() const { return opens_.load(); }
  int OpenNow() const { return open_.load(); }

  // Installs a transport for the scope.
  class Installed {
   public:
    explicit Installed(ScsiTransport* transport) { ScsiTransport::Set(transport); }
    ~Installed() { ScsiTransport::Set(nullptr); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;
  };

 private:
  ReservationModel& model_;
  std::string initiator_;
  std::atomic<int> opens_{0};
  std::atomic<int> open_{0};
};

}  // namespace storage_test

#endif
