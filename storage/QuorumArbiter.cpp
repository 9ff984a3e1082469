#include "storage/QuorumArbiter.h"

#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "framework/OXDebug.h"
#include "framework/Sleep.h"
#include "storage/LinuxDisk.h"
#include "storage/NotifyQuorumOpFailure.h"
#include "storage/SectorBuffer.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// Time given to the peer to write its roll before this node reads it.
const unsigned kRollWaitMs = 500;
// A tie is rolled again after a random wait below this.
const unsigned kTieWaitMs = 500;

std::mt19937 _SeededGenerator() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned words[5] = {static_cast<unsigned>(now.tv_nsec), static_cast<unsigned>(now.tv_sec),
                       static_cast<unsigned>(getpid()), 0, 0};
  try {
    std::random_device device;
    words[3] = device();
    words[4] = device();
  } catch (...) {
    // no system random source: time and process id still differ between nodes
  }
  std::seed_seq seed(words, words + 5);
  return std::mt19937(seed);
}

std::string _OpenFailureText(DiskHelper& disk) {
  int code = 0;
  std::string text;
  disk.GetLastError(code, text);
  return "Open quorum disk failure, " + std::to_string(code) + "," + text;
}

}  // namespace

QuorumArbiter::QuorumArbiter(std::string devicePath, bool side)
    : _devicePath(std::move(devicePath)), _side(side), _buffer(nullptr), _random(_SeededGenerator()) {
  const size_t page = static_cast<size_t>(getpagesize());
  _area.assign(page + QuorumSector::kSize, '\0');
  unsigned long remainder = 0;
  _buffer = reinterpret_cast<unsigned char*>(LinuxDisk::GetAlignedPointer(&_area[0], &remainder));
}

bool QuorumArbiter::TryGet() {
  if (!_disk.Open(_devicePath)) {
    OXDebug(_OpenFailureText(_disk));
    return false;
  }
  printf("@@ TryGetQuorumPrim: Open disk success\n");
  printf("@@ _GlobalBuffer=%p,Buffer=%p\n", static_cast<void*>(&_area[0]), static_cast<void*>(_buffer));
  memset(_buffer, 0, QuorumSector::kSize);
  printf("@@ TryGetQuorumPrim: memset Called\n");

  // First look: a peer that is already there holds the disk.
  if (!_ReadPeer()) {
    _disk.Close();  // own sector untouched
    return false;
  }
  if (_peer.present != 0) {
    OXDebug("quorum disk is been catched already");
    return _Lose();
  }

  std::uniform_int_distribution<int> coin(0, 1);
  std::uniform_int_distribution<unsigned> tieWait(0, kTieWaitMs - 1);
  for (;;) {
    const uint16_t roll = static_cast<uint16_t>(coin(_random));
    if (!_WriteOwn(QuorumSector(1, _side ? 1 : 0, roll, 0))) return _Lose();
    OXDebug("写仲裁数据！");

    Sleep(kRollWaitMs);
    if (!_ReadPeer()) return _Lose();

    if (_peer.locked != 0) {
      OXDebug("对方已经锁定了仲裁");
      return _Lose();
    }
    if (_peer.present == 0) {
      OXDebug("对方没有占领仲裁盘");
      return _Win(roll);
    }
    OXDebug("需要进行Roll点仲裁，我的Roll点是：" + std::to_string(roll) + "，对方的Roll点是：" +
            std::to_string(_peer.roll));
    if (roll > _peer.roll) {
      OXDebug("我Roll赢了");
      return _Win(roll);
    }
    if (roll < _peer.roll) {
      OXDebug("我Roll输了");
      return _Lose();
    }
    OXDebug("Roll平了，重新Roll");
    Sleep(tieWait(_random));
  }
}

bool QuorumArbiter::_ReadPeer() {
  memset(_buffer, 0, QuorumSector::kSize);
  if (_disk.Read(_buffer, QuorumSector::OffsetOf(!_side), QuorumSector::kSize) != QuorumSector::kSize) {
    printf("@@ TryGetQuorumPrim: Read disk failure\n");
    _ReportDiskFailure(true, _disk);
    return false;
  }
  _peer = QuorumSector::Decode(_buffer);
  return true;
}

bool QuorumArbiter::_WriteOwn(const QuorumSector& record) {
  record.Encode(_buffer);
  if (_disk.Write(_buffer, QuorumSector::OffsetOf(_side), QuorumSector::kSize) != QuorumSector::kSize) {
    _ReportDiskFailure(false, _disk);
    return false;
  }
  return true;
}

bool QuorumArbiter::_Win(uint16_t roll) {
  // The own record, locked: the peer loses from now on until it is cleared.
  if (!_WriteOwn(QuorumSector(1, _side ? 1 : 0, roll, 1))) return _Lose();
  _disk.Close();
  return true;
}

bool QuorumArbiter::_Lose() {
  _disk.Close();
  Clear(_devicePath, _side);
  return false;
}

bool QuorumArbiter::Clear(const std::string& devicePath, bool side) {
  DiskHelper disk;
  if (!disk.Open(devicePath)) {
    OXDebug(_OpenFailureText(disk));
    return false;
  }
  SectorBuffer zeros(QuorumSector::kSize);
  if (disk.Write(zeros.Data(), QuorumSector::OffsetOf(side), QuorumSector::kSize) != QuorumSector::kSize) {
    int code = 0;
    std::string text;
    disk.GetLastError(code, text);
    OXDebug("write quorum disk failure, " + std::to_string(code) + "," + text);
    return false;
  }
  return true;
}

void QuorumArbiter::_ReportDiskFailure(bool read, DiskHelper& disk) {
  const int code = disk.GetLastErrorCode();
  errno = code > 0 ? code : EIO;  // a short transfer has no errno of its own
  NotifyQuorumOpFailure(read);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
