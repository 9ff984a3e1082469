#include "ModelScsiTransport.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "framework/Env.h"

namespace storage_test {

using Oxbrindale::Velmora::Framework::Env;

namespace {
const int kFirstDescriptor = 1000;
}

ModelScsiTransport::ModelScsiTransport(ReservationModel& model, std::string initiator)
    : model_(model), initiator_(std::move(initiator)) {}

int ModelScsiTransport::Open(const std::string& devicePath) {
  if (devicePath.empty() || access(Env::Get()->SystemPath(devicePath).c_str(), F_OK) != 0) {
    errno = ENOENT;
    return -1;
  }
  ++open_;
  return kFirstDescriptor + opens_++;
}

void ModelScsiTransport::Close(int descriptor) {
  if (descriptor >= kFirstDescriptor) --open_;
}

bool ModelScsiTransport::Execute(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data,
                                 int dataLength, int direction, Outcome* outcome) {
  if (descriptor < kFirstDescriptor) {
    errno = EBADF;
    return false;
  }
  model_.Execute(initiator_, cdb, cdbLength, data, dataLength, direction, outcome);
  return true;
}

}  // namespace storage_test
