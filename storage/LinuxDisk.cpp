#include "storage/LinuxDisk.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <utility>

#include "config/ConfigManager.h"
#include "config/DiskVolumeResConfig.h"
#include "framework/CommandRunner.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/FileManager.h"
#include "framework/MD5.h"
#include "framework/Mutex.h"
#include "framework/MutexGuard.h"
#include "framework/OXDebug.h"
#include "framework/Sleep.h"
#include "storage/DeviceName.h"
#include "storage/DeviceOpener.h"
#include "storage/DiskIdentityStamp.h"
#include "storage/FillKeys.h"
#include "storage/MountField.h"
#include "storage/PersistentReservation.h"
#include "storage/QuorumArbiter.h"
#include "storage/ScsiTransport.h"
#include "storage/SectorBuffer.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

using Config::ConfigListEdit;
using Config::ConfigManager;
using Config::DiskVolumeResConfig;
using Config::FileManager;
using Entity::HardDiskEntity;
using Entity::PartitionEntity;
using Entity::VolumeMountPointRelation;

namespace {

const char kByPathDir[] = "/dev/disk/by-path";
const char kDevDir[] = "/dev/";
const char kPartitionsFile[] = "/proc/partitions";
const char kMountsFile[] = "/proc/mounts";

const unsigned kSignBytes = 32768;
const long kCommandTimeoutMs = 10000;
const long kMountTimeoutMs = 30000;
const unsigned kFenceSettleMs = 100;
// Driver status bits that tell a failed transfer (0x08 only flags sense data).
const int kDriverFailureMask = 0x07;

// ---- text helpers ----------------------------------------------------------

std::vector<std::string> _Lines(std::string text) { return Convert::tokenize(text, "\n", true, ""); }

std::vector<std::string> _Fields(std::string line, const std::string& delimiters = " ") {
  return Convert::tokenize(line, delimiters, true, "");
}

std::vector<std::string> _LoadLines(const char* systemFile) {
  return _Lines(FileManager::LoadFile(Env::Get()->SystemPath(systemFile)));
}

// The first field of a line (up to a blank).
std::string _FirstField(const std::string& line) {
  std::string::size_type end = line.find_first_of(" \t");
  return end == std::string::npos ? line : line.substr(0, end);
}

// ---- whole disks of /dev/disk/by-path ---------------------------------------

// The device paths ("/dev/<name>") of the whole disks that /dev/disk/by-path
// links to, in listing order, one per link. Partitions (names ending in a
// digit) are left out.
std::vector<std::string> _ByPathDisks() {
  std::vector<std::string> disks;
  for (const __OXFile& entry : Convert::ListFile(Env::Get()->SystemPath(kByPathDir), "*")) {
    std::string target = Convert::ReadLink(entry.fullPath);
    if (target.empty()) continue;
    std::string name = DeviceName::LastPiece(target);
    if (name.empty() || DeviceName::EndsWithDigit(name)) continue;
    disks.push_back(kDevDir + name);
  }
  return disks;
}

// The whole disk with disk ID diskId: by digest first, else by stamp.
// foundByDigest tells which.
std::string _FindDisk(const std::string& diskId, bool& foundByDigest) {
  foundByDigest = false;
  if (diskId.empty()) return "";
  std::string stamped;
  for (const std::string& device : _ByPathDisks()) {
    std::string digest = LinuxDisk::GetDiskSign(device);
    if (digest.empty()) continue;
    if (digest == diskId) {
      foundByDigest = true;
      return device;
    }
    if (stamped.empty() && DiskIdentityStamp::Read(device) == diskId) stamped = device;
  }
  return stamped;
}

// ---- devices remembered for quorum disk IDs ---------------------------------

Mutex& _RememberedLock() {
  static Mutex* lock = new Mutex();  // lives until the process ends
  return *lock;
}

std::map<std::string, std::string>& _Remembered() {
  static std::map<std::string, std::string>* remembered = new std::map<std::string, std::string>();
  return *remembered;
}

// ---- partition cache ----------------------------------------------------------

Mutex& _CacheLock() {
  static Mutex* lock = new Mutex();
  return *lock;
}

std::vector<PartitionEntity*>* g_cachedPartitions = nullptr;  // under _CacheLock

}  // namespace

LinuxDisk::~LinuxDisk() {}

std::string LinuxDisk::GetDiskSign(const std::string& devicePath) {
  // Direct reads see the disk as it is, not what this host's page cache
  // holds of it; a file that refuses direct I/O is read through the cache.
  const int fd = DeviceOpener::OpenDirectOrBuffered(devicePath);
  if (fd < 0) return "";
  SectorBuffer buffer(kSignBytes);
  size_t done = 0;
  while (done < kSignBytes) {
    ssize_t n = pread(fd, buffer.Data() + done, kSignBytes - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done == 0) return "";
  MD5 md5(buffer.Data(), kSignBytes);  // bytes past the end stay zero
  return md5.toString();
}

std::string LinuxDisk::GetDiskPathByDiskID(const std::string& diskId) {
  bool byDigest = false;
  return _FindDisk(diskId, byDigest);
}

std::string LinuxDisk::GetQuorumDiskPathByDiskID(const std::string& diskId) {
  if (diskId.empty()) return "";
  std::string remembered;
  {
    MutexGuard guard(_RememberedLock());
    auto it = _Remembered().find(diskId);
    if (it != _Remembered().end()) remembered = it->second;
  }
  // The remembered device still counts when it still answers to the
  // identity (device names may have moved since).
  std::string device;
  bool byDigest = false;
  if (!remembered.empty()) {
    if (DiskIdentityStamp::Read(remembered) == diskId) return remembered;
    if (GetDiskSign(remembered) == diskId) {
      device = remembered;
      byDigest = true;
    }
  }
  if (device.empty()) device = _FindDisk(diskId, byDigest);
  if (device.empty()) return "";
  // Found by its digest: stamp the identity before the transport changes
  // the digest.
  if (byDigest && DiskIdentityStamp::Read(device) != diskId) DiskIdentityStamp::Write(device, diskId);
  {
    MutexGuard guard(_RememberedLock());
    _Remembered()[diskId] = device;
  }
  return device;
}

std::vector<std::string> LinuxDisk::GetVolumeListByHardDiskPath(const std::string& diskPath) {
  std::vector<std::string> volumes;
  if (diskPath.empty()) return volumes;
  const std::string diskName = DeviceName::LastPiece(diskPath);
  for (const std::string& line : _LoadLines(kPartitionsFile)) {
    std::vector<std::string> fields = _Fields(line);
    if (fields.size() != 4) continue;
    if (DeviceName::IsPartitionOf(fields[3], diskName)) volumes.push_back(fields[3]);
  }
  return volumes;
}

int64_t LinuxDisk::GetDiskLengthByDiskName(const std::string& name, const std::vector<std::string>& partitionLines) {
  for (const std::string& line : partitionLines) {
    std::vector<std::string> fields = _Fields(line);
    if (fields.size() != 4 || fields[3] != name) continue;
    return static_cast<int64_t>(strtoll(fields[2].c_str(), nullptr, 10)) * 1024;
  }
  return 0;
}

void LinuxDisk::GetMountPointRelations(const std::string& diskPath, const std::vector<std::string>& mountLines,
                                       std::vector<VolumeMountPointRelation>& relations) {
  relations.clear();
  for (const std::string& line : mountLines) {
    if (line.empty()) continue;
    std::vector<std::string> fields = _Fields(line);
    if (fields.size() < 2) continue;
    std::string device = MountField::Decode(fields[0]);
    if (!DeviceName::IsDiskOrPartitionOf(device, diskPath)) continue;
    VolumeMountPointRelation relation;
    relation.devicePath = device;
    relation.mountPoint = MountField::Decode(fields[1]);
    relations.push_back(relation);
  }
}

std::vector<HardDiskEntity*>* LinuxDisk::GetHardDiskList() {
  std::vector<std::string> mountLines = _LoadLines(kMountsFile);
  std::vector<std::string> partitionLines = _LoadLines(kPartitionsFile);

  // Configured mount points: {disk ID, mount point} in configuration order.
  std::vector<std::pair<std::string, std::string>> configured;
  try {
    ConfigListEdit<DiskVolumeResConfig> volumes = ConfigManager::Instance()->EditDiskVolumeConfig();
    for (DiskVolumeResConfig* volume : volumes.List()) {
      for (const std::string& mountPoint : volume->GetMountPoints()) {
        configured.emplace_back(volume->GetDiskId(), mountPoint);
      }
    }
  } catch (Exception* e) {
    delete e;  // an unusable configuration lists no configured mount points
  }

  std::unique_ptr<std::vector<HardDiskEntity*>> list(new std::vector<HardDiskEntity*>());
  try {
    for (const std::string& device : _ByPathDisks()) {
      std::string digest = GetDiskSign(device);
      if (digest.empty()) continue;
      std::string stamped = DiskIdentityStamp::Read(device);
      std::unique_ptr<HardDiskEntity> disk(new HardDiskEntity());
      disk->diskId = stamped.empty() ? digest : stamped;
      disk->devicePath = device;
      disk->number = 0;
      disk->fromConfig = false;
      disk->identity = disk->diskId;
      disk->size = GetDiskLengthByDiskName(DeviceName::LastPiece(device), partitionLines);
      GetMountPointRelations(device, mountLines, disk->relations);
      if (disk->relations.empty()) {
        for (const auto& entry : configured) {
          if (entry.first != digest && entry.first != disk->diskId) continue;
          VolumeMountPointRelation relation;
          relation.devicePath = device;
          relation.mountPoint = entry.second;
          disk->relations.push_back(relation);
          disk->fromConfig = true;
        }
      }
      list->push_back(disk.release());
    }
  } catch (...) {
    for (HardDiskEntity* disk : *list) delete disk;
    throw;
  }
  return list.release();
}

std::vector<PartitionEntity*>* LinuxDisk::GetPartitionList(bool leaveOutUsed) {
  std::vector<std::string> partitionLines = _LoadLines(kPartitionsFile);

  // The runner reads each program's output while it runs; one that is still
  // running at its time-out is killed and yields nothing.
  CommandRunner* runner = Env::Get()->Runner();
  CommandResult mountResult = runner->Run({"mount"}, kCommandTimeoutMs, true);
  CommandResult fdiskResult = runner->Run({"fdisk", "-l"}, kCommandTimeoutMs, true);
  std::vector<std::string> mountLines = mountResult.timedOut ? std::vector<std::string>() : _Lines(mountResult.output);
  std::vector<std::string> fdiskLines = fdiskResult.timedOut ? std::vector<std::string>() : _Lines(fdiskResult.output);

  std::map<std::string, std::string> digests;  // disk path -> disk ID, read once per call
  std::unique_ptr<std::vector<PartitionEntity*>> list(new std::vector<PartitionEntity*>());
  for (const std::string& line : fdiskLines) {
    if (line.compare(0, 5, "/dev/") != 0) continue;
    const std::string device = _FirstField(line);
    if (leaveOutUsed) {
      bool mounted = false;
      for (const std::string& mountLine : mountLines) {
        if (_FirstField(mountLine) == device) {
          mounted = true;
          break;
        }
      }
      if (mounted || line.find("swap") != std::string::npos) continue;
    }
    std::string disk, number;
    DeviceName::SplitPartition(device, disk, number);
    auto known = digests.find(disk);
    if (known == digests.end()) known = digests.emplace(disk, GetDiskSign(disk)).first;
    list->push_back(new PartitionEntity(known->second + "N" + number, device,
                                        GetDiskLengthByDiskName(DeviceName::LastPiece(device), partitionLines)));
  }
  return list.release();
}

const std::vector<PartitionEntity*>* LinuxDisk::GetCachedPartitionList() {
  MutexGuard guard(_CacheLock());
  if (g_cachedPartitions == nullptr) g_cachedPartitions = GetPartitionList(true);  // kept until the process ends
  return g_cachedPartitions;
}

std::string LinuxDisk::GetUUIDByVolumePath(const std::string& volumePath) {
  for (PartitionEntity* partition : *GetCachedPartitionList()) {
    if (partition->devicePath == volumePath) return partition->volumeUuid;
  }
  return "";
}

std::string LinuxDisk::GetVolumePathByUUID(const std::string& uuid) {
  for (PartitionEntity* partition : *GetCachedPartitionList()) {
    if (partition->volumeUuid == uuid) return partition->devicePath;
  }
  return "";
}

// ---- SCSI-3 persistent reservations ------------------------------------------

bool LinuxDisk::CarryCDB(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data,
                         int dataLength, int* status, int direction) {
  ScsiTransport::Outcome outcome;
  if (!ScsiTransport::Get()->Execute(descriptor, cdb, cdbLength, data, dataLength, direction, &outcome)) {
    return false;
  }
  // A command that never reached the device carries status 0 too: only a
  // clean path makes the status byte the device's answer.
  if (outcome.hostStatus != 0 || (outcome.driverStatus & kDriverFailureMask) != 0) return false;
  if (status != nullptr) *status = outcome.status;
  return true;
}

namespace {

// Opens the disk of diskId for SCSI commands; -1 when unknown or not opened.
// *path gets its device path.
int _OpenForScsi(const std::string& diskId, std::string* path, const char* what, unsigned type) {
  *path = diskId.empty() ? "" : LinuxDisk::GetDiskPathByDiskID(diskId);
  if (path->empty()) return -1;
  printf("%s [%s] with LockType:%u\n", what, path->c_str(), type);
  fflush(stdout);
  int fd = ScsiTransport::Get()->Open(*path);
  if (fd < 0) {
    const int code = errno;
    OXDebug("Open /dev/sdb failure with code: " + std::to_string(code) + "," + strerror(code));
  }
  return fd;
}

}  // namespace

bool LinuxDisk::ExecSCSI3Cmds(const std::string& diskId, unsigned char type, const int* actions, int count) {
  std::string path;
  const int fd = _OpenForScsi(diskId, &path, "operate scsi3 cmds for", type);
  if (fd < 0) return false;
  unsigned char key[PersistentReservation::kKeyLength + 1] = {0};
  FillKeys(key, PersistentReservation::kKeyLength);
  PersistentReservation reservation(fd, key);

  int status = reservation.Register(type);
  printf("Exec SCSI3 Lock cmd step1 ret:%d\n", status);
  if (status != 0) {
    fflush(stdout);
    ScsiTransport::Get()->Close(fd);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    status = reservation.Out(actions[i], type, key, nullptr);
    printf("%s\n", reinterpret_cast<const char*>(key));
    printf("Exec SCSI3 Lock cmd %d step2 ret:%d\n", actions[i], status);
  }
  fflush(stdout);
  ScsiTransport::Get()->Close(fd);
  return true;
}

bool LinuxDisk::AddSCSI3Lock(const std::string& diskId, unsigned char type) {
  const int actions[] = {PersistentReservation::RESERVE};
  return ExecSCSI3Cmds(diskId, type, actions, 1);
}

bool LinuxDisk::RemoveSCSI3Lock(const std::string& diskId, unsigned char type) {
  const int actions[] = {PersistentReservation::RELEASE, PersistentReservation::CLEAR};
  return ExecSCSI3Cmds(diskId, type, actions, 2);
}

bool LinuxDisk::SCSI3SupportTest(const std::string& diskId) {
  const unsigned char type = 6;
  std::string path;
  const int fd = _OpenForScsi(diskId, &path, "test scsi3 support of", type);
  if (fd < 0) return false;
  unsigned char key[PersistentReservation::kKeyLength + 1] = {0};
  FillKeys(key, PersistentReservation::kKeyLength);
  PersistentReservation reservation(fd, key);

  // The disk may be shared and in use: what is registered or reserved on it
  // stays as it is. A key that is registered already shows that the disk
  // takes reservations; otherwise ours is registered for the test and taken
  // away again (it was not registered, so it holds no reservation).
  std::vector<std::string> keys;
  bool supported = false;
  if (!reservation.ReadKeys(&keys)) {
    printf("scsi3 support test: read keys refused\n");
  } else if (PersistentReservation::HoldsKey(keys, key)) {
    supported = true;
  } else {
    const int status = reservation.Register(type);
    printf("scsi3 support test: register ret:%d\n", status);
    if (status == 0) {
      supported = reservation.ReadKeys(&keys) && PersistentReservation::HoldsKey(keys, key);
      printf("scsi3 support test: unregister ret:%d\n", reservation.Unregister(type));
    }
  }
  fflush(stdout);
  ScsiTransport::Get()->Close(fd);
  return supported;
}

// ---- disk volumes ----------------------------------------------------------------

bool LinuxDisk::IsUsableMountPoint(const std::string& mountPoint) {
  return !mountPoint.empty() && mountPoint[0] == '/' && mountPoint.find('"') == std::string::npos;
}

namespace {

// Runs argv with the mount time-out; the result.
CommandResult _RunMountTool(const std::vector<std::string>& argv) {
  return Env::Get()->Runner()->Run(argv, kMountTimeoutMs, false);
}

// The mounts of the disk by /proc/mounts.
std::vector<VolumeMountPointRelation> _MountsOf(const std::string& diskPath) {
  std::vector<VolumeMountPointRelation> relations;
  LinuxDisk::GetMountPointRelations(diskPath, _LoadLines(kMountsFile), relations);
  return relations;
}

}  // namespace

void LinuxDisk::StartHardDisk(const std::string& diskId, const std::vector<std::string>& mountPoints,
                              unsigned int type) {
  const std::string path = GetDiskPathByDiskID(diskId);
  if (path.empty()) return;
  for (const std::string& mountPoint : mountPoints) {
    if (!IsUsableMountPoint(mountPoint)) {
      printf("refuse to start disk [%s]: unusable mount point [%s]\n", path.c_str(), mountPoint.c_str());
      fflush(stdout);
      return;
    }
  }
  // Fence first: once this node holds the reservation the peer can no
  // longer write, so the two never write the volumes at the same time.
  RemoveSCSI3Lock(diskId, static_cast<unsigned char>(type));
  Sleep(kFenceSettleMs);
  AddSCSI3Lock(diskId, static_cast<unsigned char>(type));

  const std::vector<std::string> volumes = GetVolumeListByHardDiskPath(path);
  for (size_t i = 0; i < volumes.size() && i < mountPoints.size(); ++i) {
    const std::string& mountPoint = mountPoints[i];
    Convert::ReadyDir(mountPoint);
    CommandResult mounted = _RunMountTool({"mount", kDevDir + volumes[i], mountPoint});
    if (mounted.status != 0) {
      _RunMountTool({"umount", "-l", mountPoint});
      Convert::RemoveDir(mountPoint);
    }
  }
}

void LinuxDisk::StopHardDisk(const std::string& diskId, unsigned int type) {
  const std::string path = GetDiskPathByDiskID(diskId);
  if (path.empty()) return;
  for (const VolumeMountPointRelation& relation : _MountsOf(path)) {
    CommandResult result = _RunMountTool({"umount", "-l", relation.mountPoint});
    if (result.timedOut) printf("**** !pm.WaitTerminated(30000) ..\n");
    printf("**** umount end ***** before remove dir..\n");
    fflush(stdout);
    Convert::RemoveDir(relation.mountPoint);
  }
  RemoveSCSI3Lock(diskId, static_cast<unsigned char>(type));
}

bool LinuxDisk::TestHardDisk(const std::string& diskId, const std::vector<std::string>& mountPoints) {
  const std::string path = GetDiskPathByDiskID(diskId);
  if (path.empty()) return false;
  if (!_MountsOf(path).empty()) return true;
  for (const std::string& mountPoint : mountPoints) {
    if (IsUsableMountPoint(mountPoint)) Convert::RemoveDir(mountPoint);
  }
  return false;
}

bool LinuxDisk::HasHardDisk(const std::string& diskId) { return !GetDiskPathByDiskID(diskId).empty(); }

// ---- quorum-disk arbitration ---------------------------------------------------

char* LinuxDisk::GetAlignedPointer(char* p, unsigned long* remainder) {
  const unsigned long page = static_cast<unsigned long>(getpagesize());
  const unsigned long rest = reinterpret_cast<uintptr_t>(p) % page;
  printf("@@ PageSize:%lu\n", page);
  printf("@@ SizeExpand is %lu\n", rest);
  if (remainder != nullptr) *remainder = rest;
  return p + page - rest;
}

bool LinuxDisk::TryGetQuorumPrim(const std::string& diskId, bool side) {
  if (diskId.empty()) return false;
  const std::string path = GetQuorumDiskPathByDiskID(diskId);
  printf("@@ DiskPath=%s\n", path.c_str());
  if (path.empty()) return false;
  QuorumArbiter arbiter(path, side);
  return arbiter.TryGet();
}

void LinuxDisk::ResetQuorumInfo(const std::string& diskId, bool side) {
  if (diskId.empty()) return;
  const std::string path = GetQuorumDiskPathByDiskID(diskId);
  if (path.empty()) return;
  QuorumArbiter::Clear(path, side);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
