#ifndef TARROW_RESOURCE_NETTEST_H
#define TARROW_RESOURCE_NETTEST_H

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "framework/Mutex.h"
#include "framework/Semaphore.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class NetTestExec;

// Does at least one address of a list answer a ping? Pings all of them at
// once, one job per address on the process-wide thread pool, and answers at
// the first reply or once every address has failed.
//
// A job the pool has not started within Timings::poolWaitMs is claimed
// back: the caller pings that address itself, and the job, when it runs
// later, does nothing.
//
// The test and its jobs share their state (Shared), which lives as long as
// the last of them: the caller owns the NetTest (on the stack or deletes it
// whenever it likes, also right after DoTest), and jobs still pinging after
// the answer finish on their own without touching it.
class NetTest {
 public:
  // Waits of the test, in ms; tests shorten or lengthen them.
  struct Timings {
    long pingWaitMs = 2000;      // a ping still running then is killed and counts as no answer
    long answerPauseMs = 10;     // pause of the last job after an answer
    long silentPauseMs = 800;   // pause of the last job after no answer
    // How long the test leaves its pings to the pool: an address whose job
    // has not started by then is pinged on the caller's thread instead (the
    // pool's workers may all be waiting for what the caller holds).
    long poolWaitMs = 3000;
  };

  // The state the test shares with its jobs; written under NetTestExec::_GlobalCS.
  struct Shared {
    explicit Shared(int count) : remaining(count) {}
    // The reports of a job (null: of an address the test pinged itself).
    // An answer: success, the finish semaphore posted once per address.
    void TestSuccess(NetTestExec* job);
    // No answer: the semaphore posted once.
    void TestFail(NetTestExec* job);
    // No job is pending any more.
    bool CanDelete();

    Semaphore finish;
    bool success = false;
    int remaining;
    int total = 0;
    std::list<NetTestExec*> pending;
  };

  NetTest(const std::vector<std::string>& addresses, uint16_t port);
  ~NetTest();

  // true when at least one address answered; false at once for an empty
  // list. Once per object.
  bool DoTest();
  // No job is pending.
  bool CanDelete();
  // Addresses not yet reported.
  int GetDeleteCount();

  // One ping of address ("ping -c 1 <address>"); a text that is not a dotted
  // IPv4 address is never handed to ping and counts as no answer.
  static bool SendARPTest(const std::string& address);

  static Timings GetTimings();
  static void SetTimings(const Timings& timings);

 private:
  std::vector<std::string> _addresses;
  uint16_t _port;
  std::shared_ptr<Shared> _shared;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
