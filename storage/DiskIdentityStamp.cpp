#include "storage/DiskIdentityStamp.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "framework/DiskHelper.h"
#include "framework/MD5.h"
#include "storage/DeviceOpener.h"
#include "storage/SectorBuffer.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

const char kMagic[] = "TARROWQUORUMDISK";  // 16 bytes used, no terminator
const unsigned kMagicSize = 16;
const unsigned kIdAt = 16;
const unsigned kIdSize = 32;
const unsigned kCheckAt = 48;
const unsigned kCheckedBytes = 48;

}  // namespace

bool DiskIdentityStamp::IsDiskId(const std::string& text) {
  if (text.size() != kIdSize) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void DiskIdentityStamp::Encode(const std::string& diskId, unsigned char* sector) {
  memset(sector, 0, kSize);
  memcpy(sector, kMagic, kMagicSize);
  memcpy(sector + kIdAt, diskId.data(), diskId.size() < kIdSize ? diskId.size() : kIdSize);
  MD5 check(sector, kCheckedBytes);
  memcpy(sector + kCheckAt, check.digest(), 16);
}

std::string DiskIdentityStamp::Decode(const unsigned char* sector) {
  if (memcmp(sector, kMagic, kMagicSize) != 0) return "";
  MD5 check(sector, kCheckedBytes);
  if (memcmp(sector + kCheckAt, check.digest(), 16) != 0) return "";
  std::string id(reinterpret_cast<const char*>(sector + kIdAt), kIdSize);
  return IsDiskId(id) ? id : "";
}

std::string DiskIdentityStamp::Read(const std::string& devicePath) {
  const int fd = DeviceOpener::OpenDirect(devicePath);
  if (fd < 0) return "";
  SectorBuffer buffer(kSize);
  ssize_t n;
  do {
    n = pread(fd, buffer.Data(), kSize, static_cast<off_t>(kOffset));
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n != static_cast<ssize_t>(kSize)) return "";
  return Decode(buffer.Data());
}

bool DiskIdentityStamp::Write(const std::string& devicePath, const std::string& diskId) {
  if (!IsDiskId(diskId)) return false;
  DiskHelper disk;
  if (!disk.Open(devicePath)) return false;
  SectorBuffer buffer(kSize);
  Encode(diskId, buffer.Data());
  return disk.Write(buffer.Data(), kOffset, kSize) == kSize;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
