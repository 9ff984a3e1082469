#include "config/Scsi3SupportProbe.h"

#include "framework/Mutex.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::Mutex;
using Framework::MutexGuard;

namespace {

// Both are never destroyed: validations may run on other threads while the
// process exits, after the destructors of function-local statics have run.
Mutex& ProbeLock() {
  static Mutex& lock = *new Mutex();
  return lock;
}

Scsi3SupportProbe::Test& InstalledTest() {
  static Scsi3SupportProbe::Test& test = *new Scsi3SupportProbe::Test();
  return test;
}

}  // namespace

void Scsi3SupportProbe::Set(Test test) {
  MutexGuard guard(ProbeLock());
  InstalledTest() = std::move(test);
}

bool Scsi3SupportProbe::Run(const std::string& diskId) {
  Test test;
  {
    MutexGuard guard(ProbeLock());
    test = InstalledTest();
  }
  if (!test) return false;  // nothing installed: no disk supports SCSI-3 locks
  return test(diskId);
}

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
