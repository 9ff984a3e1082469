#ifndef TARROW_STORAGE_DRBDHELPER_H
#define TARROW_STORAGE_DRBDHELPER_H

#include <string>
#include <vector>

#include "config/DrbdMirrorConfig.h"
#include "config/__DrbdHostProperty.h"
#include "entity/DrbdRtDataEntity.h"
#include "entity/PartitionEntity.h"
#include "framework/CommandRunner.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// DRBD mirror management: /etc/drbd.conf, the DRBD tools, /proc/drbd and the
// split-brain data decisions. Static operations only.
//
// System paths ("/etc/drbd.conf", "/proc/drbd", "/proc/mounts",
// "/etc/init.d/drbd") are opened or run at Env::Get()->SystemPath(path).
// Outside programs (drbdadm, drbdsetup, service, chkconfig, lsmod, mount,
// umount, dd) run through Env::Get()->Runner() with an argument vector, no
// shell; a packet name is one argument. Every tool has a time limit
// (DrbdTimings); one that outlives it is killed and reaped, and the
// operation reports it: operations that throw throw Exception* "DRBD", the
// others post the text as an error event (EventManager::Error).
// Failures of the checks and packet operations are Exception* "DRBD" with a
// text for the console.
class DrbdHelper {
 public:
  virtual ~DrbdHelper();

  // ---- /etc/drbd.conf and mirror changes -------------------------------

  // Rewrites /etc/drbd.conf (crash-safe) from mirrors: the header, then the
  // section of every mirror that names this host (host A checked first) and
  // whose local volumes resolve, each followed by a line feed unless it is
  // the last of the list. The resolved device paths stay in the records. A
  // mirror with a text the DRBD parser would refuse or that would reach a
  // shell (DrbdText) is left out with an error event: one bad section would
  // make the file unreadable for every mirror.
  static void FlushConfig(std::vector<Config::DrbdMirrorConfig*> mirrors);

  // Every text and number of the mirror that goes into /etc/drbd.conf or
  // onto a tool's command line (name, protocol, rate 1-4096, shared secret,
  // device number 0-63, both hosts' names, IPv4 addresses, ports 1-65535,
  // volumes, meta-disk indexes); throws Exception* "DRBD" naming the first
  // bad one. For the console, before it stores a mirror.
  static void ValidateMirror(Config::DrbdMirrorConfig* mirror);

  // Checks a modification before it is applied; throws Exception* "DRBD":
  // the stored mirror of that name exists, the host names are the stored
  // ones, split-brain policy 0-4, rate 1-9999, no address:port of another
  // mirror, then the rate, addresses and ports the modification applies as
  // ValidateMirror checks them.
  static void PreModifyDrbdCheck(Config::DrbdMirrorConfig* changed);
  // Copies the policy, the rate and changed addresses and ports into the
  // stored mirror, saves, rewrites /etc/drbd.conf and, when an address or
  // port changed, reconnects the mirror (drbdadm disconnect, connect).
  static void DoModifyDrbdConfig(Config::DrbdMirrorConfig* changed);

  // "/etc/init.d/drbd start", killed after 5000 ms.
  static void _StartDrbdService();
  // True when /proc/drbd exists.
  static bool _IsDrbdServiceRunning();

  // The host of the mirror named like this node (A before B); false when
  // neither is. *isHostA tells which (may be null).
  static bool _GetHostProperty(Config::DrbdMirrorConfig* mirror, Config::__DrbdHostProperty* host, bool* isHostA);
  // Zeroes the first 5 MiB of the local data volume when its meta data is
  // internal ("dd", 25000 ms); throws Exception* "DRBD".
  static void EreaseMetaDisk(Config::DrbdMirrorConfig* mirror);
  // "drbdadm down <name>" up to 3 times (10000 ms each) until one succeeds.
  static void DownPacket(const std::string& name);

  // ---- runtime status (/proc/drbd) ---------------------------------------
  // One record per device 0 to 63 (DrbdRtDataTable), refreshed from
  // /proc/drbd at every call under one lock. A /proc/drbd that cannot be
  // read throws Exception* "DRBD" "你并没有安装DRBD，或DRBD服务未启动。" (the
  // table stays as it was); an empty one changes nothing.

  // Copies the record of device into out: false when the device is outside
  // 0 to 63 (nothing read) or has no record (out untouched).
  static bool GetRtDataByDeviceNumber(unsigned long device, Entity::DrbdRtDataEntity& out);
  // The text of every record, device order, joined by "\n".
  static void GetRtDataListString(std::string* out);

  // ---- host control and split-brain data -------------------------------
  // The packet name is a stored mirror's name (ConfigManager); its device is
  // /dev/drbd<minor>. A mount point must be absolute and hold no '"'
  // (LinuxDisk::IsUsableMountPoint).

  // Makes this node primary for the packet (starting the DRBD service and
  // connecting first when needed; the mirror's data stamp becomes now, in
  // epoch milliseconds, and is saved) and mounts its device on mountPoint
  // (none when empty; a failed mount is undone, not reported). Throws
  // Exception* "DRBD": unusable mount point (before anything runs), unknown
  // packet, no runtime record, not primary after "drbdadm primary" (with its
  // raw wait status), a tool past its limit.
  static void StartHost(std::string packetName, std::string mountPoint);
  // On a primary node: stops the processes using mountPoint, lazily
  // unmounts the device, removes the directory and demotes the node (up to
  // 10 tries, DrbdTimings::demoteRetryMs apart). Nothing while the service
  // does not run or the node is secondary. Throws Exception* "DRBD": unknown
  // packet, no runtime record, still primary after the tenth try (so the
  // tree's stop-failure policy applies), a tool past its limit.
  static void StopHost(std::string packetName, std::string mountPoint);
  // Split brain, on the node whose data stays: connect, secondary; the
  // mirror's split-brain mark goes to 0 ("DRBD_PACKET_CHANGED").
  static void BSSaveData(std::string packetName);
  // Split brain, on the node whose data goes: StopHost without mount point,
  // then secondary, disconnect, connect discarding this node's data; the
  // mark goes to 0. Throws what StopHost throws.
  static void BSDropData(std::string packetName);
  // Whether this node serves the packet as primary with its device mounted
  // on mountPoint (any place when empty). *connected (when not null) gets
  // the connection flag. Reconnects a stand-alone mirror not marked as split;
  // a primary whose device is not mounted there is demoted.
  static bool Status(std::string packetName, std::string mountPoint, bool* connected);
  // "service drbd start".
  static void StartDrbdService();

  // ---- mirror packets --------------------------------------------------
  // Probes answer false when their tool does not answer in time; the tool
  // is then killed and reaped.

  // "lsmod" (5000 ms) lists a line holding "drbd".
  static bool IsKmodDrbdInstalled();
  // "drbdadm" without arguments (1000 ms) prints a line beginning "Version".
  static bool IsDrbdInstalled();
  // IsDrbdInstalled, then IsKmodDrbdInstalled.
  static bool IsAllDrbdComponentInstalled();
  // LinuxDisk::GetPartitionList(true), each partition's number 1 when
  // /etc/drbd.conf uses it (IsDiskUsed), else 0. New list of new records.
  static std::vector<Entity::PartitionEntity*>* GetPartitionList();
  // The device numbers after "/dev/drbd" in /etc/drbd.conf, each once, in
  // order of first appearance (a missing file: none).
  static std::vector<int> GetUsedDrbdNumber();
  // /etc/drbd.conf has a resource of that name (Exception* "IO" when it
  // cannot be read).
  static bool HasPacketName(const std::string& name);
  // A line of text holds both "disk" and path.
  static bool IsDiskUsed(const std::string& path, const std::string& text);
  // The same for /etc/drbd.conf (Exception* "IO" when it cannot be read).
  static bool IsDiskUsed(const std::string& path);
  // Checks a new mirror before it is created; throws Exception* "DRBD" at
  // the first failure: ValidateMirror, device number in use, no host of this
  // node, local data (and separate meta-data) volume missing or used, name
  // in use, an address:port in use. The local host then holds volume UUIDs
  // and their device paths.
  static void PreCheckDrbdConfig(Config::DrbdMirrorConfig* mirror);
  // Creates the packet on this node: erases the meta data area (when
  // asked), rewrites /etc/drbd.conf from the stored mirrors, ApplyConfig,
  // makes this node primary with its data as the source (when asked),
  // DisableDrbdAutoStart. Throws Exception*.
  static void DoCreateMirrorPacket(Config::DrbdMirrorConfig* mirror, int eraseMetaData, int makePrimary);
  // drbdadm create-md (answering "yes" twice), down, up; 10000 ms each.
  // Throws Exception* "DRBD".
  static void ApplyConfig(Config::DrbdMirrorConfig* mirror);
  // "chkconfig --del drbd"; a failed run (no chkconfig, as on Debian) is no error.
  static void DisableDrbdAutoStart();
  // Throws Exception* "DRBD" when no mirror has that name, or when its
  // device is mounted ("mount") and forceUnmount is false; with it, every
  // mount of the device is lazily unmounted.
  static void PreDeleteCheck(const std::string& name, bool forceUnmount);
  // PreDeleteCheck, drbdadm down, removes the stored mirror and rewrites
  // /etc/drbd.conf.
  static void DeletePacket(const std::string& name, bool forceUnmount);

 private:
  enum OnTimeout { THROW, REPORT };

  // The first fault of the mirror's texts ("" when none); withPaths: also
  // the device paths filled for /etc/drbd.conf.
  static std::string _MirrorFault(Config::DrbdMirrorConfig* mirror, bool withPaths);
  static std::string _HostFault(const Config::__DrbdHostProperty& host, const std::string& which, bool withPaths);
  static std::string _AddressFault(const Config::__DrbdHostProperty& host, const std::string& which);

  // Runs argv within limitMs; a tool killed at its limit is thrown or
  // reported as onTimeout says.
  static CommandResult _RunTool(const std::vector<std::string>& argv, long limitMs, OnTimeout onTimeout,
                                bool captureOutput = false);
  // "drbdadm" words... name within the command limit; a name that is no
  // packet name (DrbdText::IsPacketName) runs nothing and is thrown or
  // reported likewise (status -1).
  static CommandResult _Drbdadm(const std::vector<std::string>& words, const std::string& name, OnTimeout onTimeout);
  static void _Report(OnTimeout onTimeout, const std::string& text);

  // FlushConfig of copies of the stored mirrors.
  static void _FlushStoredMirrors();

  // Reads /proc/drbd into the table; called with the table's lock held.
  static void _RefreshRtDataList();
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
