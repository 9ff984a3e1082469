#include "resource/NetTest.h"

#include <algorithm>

#include "framework/CommandRunner.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/MutexGuard.h"
#include "framework/OXThreadPool.h"
#include "resource/NetAdaptor.h"
#include "resource/NetTestExec.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {
Mutex g_timingsLock;
NetTest::Timings g_timings;
}  // namespace

NetTest::Timings NetTest::GetTimings() {
  MutexGuard guard(g_timingsLock);
  return g_timings;
}

void NetTest::SetTimings(const Timings& timings) {
  MutexGuard guard(g_timingsLock);
  g_timings = timings;
}

void NetTest::Shared::TestSuccess(NetTestExec* job) {
  success = true;
  for (int i = 0; i < total; ++i) finish.Post();
  --remaining;
  pending.remove(job);
}

void NetTest::Shared::TestFail(NetTestExec* job) {
  finish.Post();
  --remaining;
  pending.remove(job);
}

bool NetTest::Shared::CanDelete() { return pending.empty(); }

NetTest::NetTest(const std::vector<std::string>& addresses, uint16_t port)
    : _addresses(addresses), _port(port), _shared(std::make_shared<Shared>(static_cast<int>(addresses.size()))) {
  _shared->total = static_cast<int>(addresses.size());
}

NetTest::~NetTest() = default;

bool NetTest::DoTest() {
  if (_addresses.empty()) return false;
  for (const std::string& address : _addresses) {
    NetTestExec* job = new NetTestExec(address, _port, _shared);
    {
      MutexGuard guard(NetTestExec::_GlobalCS);
      _shared->pending.push_back(job);
    }
    try {
      OXThreadPool::Instance()->Invoke(job);
    } catch (Exception* e) {
      // The pool could not take the job: the address counts as silent.
      delete e;
      {
        MutexGuard guard(NetTestExec::_GlobalCS);
        _shared->TestFail(job);
      }
      delete job;
    }
  }
  for (size_t i = 0; i < _addresses.size(); ++i) _shared->finish.Wait();
  MutexGuard guard(NetTestExec::_GlobalCS);
  return _shared->success;
}

bool NetTest::CanDelete() {
  MutexGuard guard(NetTestExec::_GlobalCS);
  return _shared->CanDelete();
}

int NetTest::GetDeleteCount() {
  MutexGuard guard(NetTestExec::_GlobalCS);
  return _shared->remaining;
}

bool NetTest::SendARPTest(const std::string& address) {
  if (!NetAdaptor::IsValidAddress(address)) return false;
  CommandResult result = Env::Get()->Runner()->Run({"ping", "-c", "1", address}, GetTimings().pingWaitMs, false);
  return !result.timedOut && result.status == 0;
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
