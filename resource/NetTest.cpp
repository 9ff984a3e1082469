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
  // Each report posts the semaphore (an answer once per address).
  const size_t count = _addresses.size();
  size_t reports = 0;
  const long long deadline = Env::Get()->WaitClockMs() + std::max<long>(0, GetTimings().poolWaitMs);
  while (reports < count) {
    const long long left = deadline - Env::Get()->WaitClockMs();
    if (left <= 0 || !_shared->finish.TimedWait(left)) break;
    ++reports;
  }
  if (reports < count) {
    // The pool has not started every job: those addresses are pinged here.
    // A claimed job stays queued and is deleted by the pool once it ran
    // (doing nothing): its pointer is not used after the claim.
    std::vector<std::string> claimed;
    {
      MutexGuard guard(NetTestExec::_GlobalCS);
      std::list<NetTestExec*> unstarted;
      for (NetTestExec* job : _shared->pending) {
        if (job->Claim()) unstarted.push_back(job);
      }
      for (NetTestExec* job : unstarted) {
        claimed.push_back(job->Address());
        _shared->pending.remove(job);
      }
    }
    for (const std::string& address : claimed) {
      bool answered = false;
      {
        MutexGuard guard(NetTestExec::_GlobalCS);
        answered = _shared->success;  // another address answered: no more pings
      }
      if (!answered) answered = SendARPTest(address);
      MutexGuard guard(NetTestExec::_GlobalCS);
      if (answered)
        _shared->TestSuccess(nullptr);
      else
        _shared->TestFail(nullptr);
    }
    for (; reports < count; ++reports) _shared->finish.Wait();
  }
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
