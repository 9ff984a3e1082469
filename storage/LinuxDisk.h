#ifndef TARROW_STORAGE_LINUXDISK_H
#define TARROW_STORAGE_LINUXDISK_H

#include <cstdint>
#include <string>
#include <vector>

#include "entity/HardDiskEntity.h"
#include "entity/PartitionEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The node's disks: identity, discovery, partitions and the quorum-disk
// arbitration. Static operations only; nothing here throws except the "IO"
// Exception* of the file reader when /proc/partitions or /proc/mounts cannot
// be read.
//
// Identity: a disk ID is the lower-case MD5 hex of the disk's first 32768
// bytes; a volume UUID is disk ID + "N" + partition number.
//
// System paths: "/dev/disk/by-path", "/dev/<name>", "/proc/partitions" and
// "/proc/mounts" are the paths of this machine; every one is opened at
// Env::Get()->SystemPath(path). Device paths handed out are the system paths
// ("/dev/sdb"), which DiskHelper, DiskIdentityStamp and this class map again
// when they open them. Outside programs ("mount", "fdisk -l") run through
// Env::Get()->Runner().
//
// Quorum disk identity: the quorum transport writes inside the first 32 KiB,
// so a quorum disk's digest changes with its first message. The quorum disk
// is therefore resolved with GetQuorumDiskPathByDiskID, which stamps the
// identity it found the disk by on the disk (DiskIdentityStamp: 512 bytes at
// byte 2101248, 0x201000) and remembers the device for this process; the
// disk stays findable by that identity, after a restart too, through every
// lookup (GetDiskPathByDiskID, GetHardDiskList). The quorum link, the
// arbitration and its release resolve the quorum disk this way.
//
// Quorum disk layout (byte offsets on the device): 0 - 2097151 message areas
// of the quorum transport; 2097664 the arbitration sector of side false,
// 2098176 that of side true; 2101248 the identity stamp.
class LinuxDisk {
 public:
  virtual ~LinuxDisk();

  // ---- identity and discovery ---------------------------------------------

  // MD5 (lower-case hex) of the first 32768 bytes of the device, bytes past
  // its end counted as zeros; "" when it cannot be opened or reads nothing.
  static std::string GetDiskSign(const std::string& devicePath);

  // "/dev/<name>" of the first whole disk listed in /dev/disk/by-path whose
  // disk ID is diskId; failing that, of the first whose identity stamp holds
  // diskId; "" when none. Reads only.
  static std::string GetDiskPathByDiskID(const std::string& diskId);

  // As GetDiskPathByDiskID for the quorum disk: first the device remembered
  // for diskId by this process (when it still answers to the identity), else
  // a lookup; a disk found by its digest gets diskId stamped on it. ""
  // when none.
  static std::string GetQuorumDiskPathByDiskID(const std::string& diskId);

  // Names of the partitions of the disk (from /proc/partitions, in its
  // order): "sdb1", "sdb10" for "/dev/sdb", never "sdba1".
  static std::vector<std::string> GetVolumeListByHardDiskPath(const std::string& diskPath);

  // Size in bytes of the device name (no "/dev/") by the lines of
  // /proc/partitions; 0 when missing.
  static int64_t GetDiskLengthByDiskName(const std::string& name, const std::vector<std::string>& partitionLines);

  // The mounts of the disk and of its partitions by the lines of
  // /proc/mounts; escapes decoded ("\040" is a space).
  static void GetMountPointRelations(const std::string& diskPath, const std::vector<std::string>& mountLines,
                                     std::vector<Entity::VolumeMountPointRelation>& relations);

  // The whole disks of /dev/disk/by-path (one record per link), each under
  // its stamped identity when it carries one, else its disk ID. New list of
  // new records: the caller deletes each record and the list.
  static std::vector<Entity::HardDiskEntity*>* GetHardDiskList();

  // The partitions that "fdisk -l" shows; with leaveOutUsed, not those that
  // "mount" shows mounted nor swap. New list of new records: the caller
  // deletes each record and the list.
  static std::vector<Entity::PartitionEntity*>* GetPartitionList(bool leaveOutUsed);

  // GetPartitionList(true) of the first call, kept for the life of the
  // process (built once, also when several threads ask at once; a failed
  // build is tried again by the next call). Never null.
  static const std::vector<Entity::PartitionEntity*>* GetCachedPartitionList();

  // Lookups in the cached list: the volume UUID of a partition path, the
  // path of a volume UUID; "" when not there.
  static std::string GetUUIDByVolumePath(const std::string& volumePath);
  static std::string GetVolumePathByUUID(const std::string& uuid);

  // ---- SCSI-3 persistent reservations -------------------------------------
  // Commands reach the disk through ScsiTransport::Get() (SG_IO on the
  // disk's block device); see PersistentReservation for the bytes. The key
  // is FillKeys' (the first 8 bytes of the host name). Reservation types: 5
  // Write Exclusive - Registrants Only, 6 Exclusive Access - Registrants
  // Only. Nothing here throws.

  // Sends one command block on descriptor. false when it could not be issued
  // or the path to the device failed (adapter or driver status not 0): the
  // status is then not written. Otherwise the SCSI status byte goes to
  // *status (0 good, 0x18 reservation conflict, 0x02 check condition).
  static bool CarryCDB(int descriptor, const unsigned char* cdb, int cdbLength, unsigned char* data,
                       int dataLength, int* status, int direction);

  // Registers this node's key on the disk (REGISTER AND IGNORE EXISTING
  // KEY), then sends each of the count service actions with the key and
  // type. true when the disk was found, opened and the registration answered
  // good status; the statuses of the actions are printed only.
  static bool ExecSCSI3Cmds(const std::string& diskId, unsigned char type, const int* actions, int count);
  // Register, RESERVE: this node holds the disk.
  static bool AddSCSI3Lock(const std::string& diskId, unsigned char type);
  // Register, RELEASE, CLEAR: every registration and reservation on the
  // disk goes, the peer's too.
  static bool RemoveSCSI3Lock(const std::string& diskId, unsigned char type);
  // Whether the disk takes persistent reservations, leaving every
  // registration and reservation as it was: true at once when this node's
  // key is registered already (READ KEYS); otherwise registers the key,
  // reads the keys back and unregisters it again. false when the disk is
  // unknown, cannot be opened or refuses a command.
  static bool SCSI3SupportTest(const std::string& diskId);

  // ---- disk volumes ----------------------------------------------------------
  // Outside programs ("mount", "umount") run through Env::Get()->Runner()
  // with an argument vector, 30000 ms each (killed after that).

  // A mount point these operations accept: absolute and without '"'.
  static bool IsUsableMountPoint(const std::string& mountPoint);

  // Fences the disk for this node (RemoveSCSI3Lock, 100 ms, AddSCSI3Lock),
  // then mounts its i-th partition on the i-th mount point (creating the
  // directory; a failed mount is undone with a lazy unmount and the empty
  // directory removed). Does nothing for an unknown disk, nor when a mount
  // point is not usable.
  static void StartHardDisk(const std::string& diskId, const std::vector<std::string>& mountPoints,
                            unsigned int type);
  // Lazily unmounts every mount of the disk and of its partitions (by
  // /proc/mounts, wherever they are; another disk whose name merely begins
  // with this one's is left alone), removes the emptied directories, then
  // RemoveSCSI3Lock.
  static void StopHardDisk(const std::string& diskId, unsigned int type);
  // True when the disk or one of its partitions is mounted; otherwise the
  // (usable) configured mount directories are removed when empty.
  static bool TestHardDisk(const std::string& diskId, const std::vector<std::string>& mountPoints);
  // True when the disk ID names a disk of this node.
  static bool HasHardDisk(const std::string& diskId);

  // ---- quorum-disk arbitration --------------------------------------------

  // The first page boundary above p (p + page size when p is aligned); the
  // distance of p from the boundary below goes to *remainder.
  static char* GetAlignedPointer(char* p, unsigned long* remainder);

  // Two-party roll on the quorum disk against the peer; true when this node
  // wins and holds the disk (its sector locked until ResetQuorumInfo). side
  // is true on the host-side node. Any failed or short disk access loses.
  static bool TryGetQuorumPrim(const std::string& diskId, bool side);

  // Clears this node's arbitration sector, releasing the disk.
  static void ResetQuorumInfo(const std::string& diskId, bool side);
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
