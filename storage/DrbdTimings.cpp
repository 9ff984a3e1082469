#include "storage/DrbdTimings.h"

#include "framework/Mutex.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

Mutex& _Lock() {
  static Mutex* lock = new Mutex();  // lives until the process ends
  return *lock;
}

DrbdTimings& _Current() {
  static DrbdTimings* current = new DrbdTimings();
  return *current;
}

}  // namespace

DrbdTimings DrbdTimings::Get() {
  MutexGuard guard(_Lock());
  return _Current();
}

void DrbdTimings::Set(const DrbdTimings& timings) {
  MutexGuard guard(_Lock());
  _Current() = timings;
}

void DrbdTimings::Reset() { Set(DrbdTimings()); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
