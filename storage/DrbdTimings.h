#ifndef TARROW_STORAGE_DRBDTIMINGS_H
#define TARROW_STORAGE_DRBDTIMINGS_H

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The time limits and pauses of the DRBD operations (DrbdHelper), in
// milliseconds. A tool that outlives its limit is killed and reaped. Tests
// shorten or lengthen them with Set; Reset restores these defaults.
class DrbdTimings {
 public:
  // drbdadm, drbdsetup, "service drbd start", chkconfig and the mount
  // listing: a tool that hangs must not hold a console or resource thread
  // forever.
  long commandLimitMs = 60000;
  long initScriptMs = 5000;    // "/etc/init.d/drbd start"
  long mountMs = 30000;        // mount and umount
  long applyStepMs = 10000;    // create-md, down and up of ApplyConfig; each attempt of DownPacket
  long eraseMs = 25000;        // dd of EreaseMetaDisk
  long kmodProbeMs = 5000;     // lsmod
  long toolProbeMs = 1000;     // drbdadm without arguments
  long demoteRetryMs = 1000;   // pause between two demotions of StopHost
  long settleMs = 500;         // pause after ApplyConfig in DoCreateMirrorPacket

  static DrbdTimings Get();
  static void Set(const DrbdTimings& timings);
  static void Reset();
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
