#ifndef TARROW_RESOURCE_NETTESTEXEC_H
#define TARROW_RESOURCE_NETTESTEXEC_H

#include <cstdint>
#include <memory>
#include <string>

#include "framework/IOXThreadPoolExec.h"
#include "framework/Mutex.h"
#include "resource/NetTest.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// One ping of a NetTest, run on the thread pool: pings its address and
// reports to the state it shares with its test.
class NetTestExec : public IOXThreadPoolExec {
 public:
  NetTestExec(const std::string& address, uint16_t port, std::shared_ptr<NetTest::Shared> test);
  void Run() override;
  // Takes the job back before it started: true when it had not started (it
  // then does nothing when it runs). Under _GlobalCS.
  bool Claim();
  const std::string& Address() const { return _address; }

  // Serialises the reports of every test of the process; never held across
  // a ping or a pause.
  static Mutex _GlobalCS;

 private:
  std::string _address;
  uint16_t _port;
  std::shared_ptr<NetTest::Shared> _test;
  bool _started = false;  // under _GlobalCS
  bool _claimed = false;  // under _GlobalCS
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
