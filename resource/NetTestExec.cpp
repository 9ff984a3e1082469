#include "resource/NetTestExec.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/Sleep.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

Mutex NetTestExec::_GlobalCS;

NetTestExec::NetTestExec(const std::string& address, uint16_t port, std::shared_ptr<NetTest::Shared> test)
    : _address(address), _port(port), _test(std::move(test)) {}

bool NetTestExec::Claim() {
  if (_started) return false;
  _claimed = true;
  return true;
}

void NetTestExec::Run() {
  {
    MutexGuard guard(_GlobalCS);
    if (_claimed) return;  // its test pinged the address itself
    _started = true;
  }
  bool answered = false;
  try {
    answered = NetTest::SendARPTest(_address);
  } catch (Exception* e) {
    delete e;
  }
  bool last = false;
  {
    MutexGuard guard(_GlobalCS);
    if (answered) {
      _test->TestSuccess(this);
    } else {
      _test->TestFail(this);
    }
    last = _test->CanDelete();
  }
  if (last) {
    NetTest::Timings timings = NetTest::GetTimings();
    Sleep(static_cast<unsigned>(answered ? timings.answerPauseMs : timings.silentPauseMs));
  }
  // The shared state goes with the last of the test and its jobs.
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
