#include "storage/SgIoScsiTransport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

int SgIoScsiTransport::Open(const std::string& devicePath) {
  if (devicePath.empty()) {
    errno = ENOENT;
    return -1;
  }
  const std::string path = Env::Get()->SystemPath(devicePath);
  for (;;) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

void SgIoScsiTransport::Close(int descriptor) {
  if (descriptor >= 0) close(descriptor);
}

bool SgIoScsiTransport::Execute(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data,
                                int dataLength, int direction, Outcome* outcome) {
  unsigned char sense[kSenseLength];
  memset(sense, 0, sizeof(sense));
  sg_io_hdr_t header;
  memset(&header, 0, sizeof(header));
  header.interface_id = 'S';
  header.dxfer_direction = direction;
  header.cmd_len = static_cast<unsigned char>(cdbLength);
  header.mx_sb_len = sizeof(sense);
  header.dxfer_len = static_cast<unsigned int>(dataLength);
  header.dxferp = data;
  header.cmdp = const_cast<unsigned char*>(cdb);
  header.sbp = sense;
  header.timeout = kTimeoutMs;
  header.flags = SG_FLAG_DIRECT_IO;
  if (ioctl(descriptor, SG_IO, &header) == -1) return false;
  if (outcome != nullptr) {
    outcome->status = header.status;
    outcome->hostStatus = header.host_status;
    outcome->driverStatus = header.driver_status;
  }
  return true;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
