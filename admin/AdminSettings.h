#ifndef TARROW_ADMIN_ADMINSETTINGS_H
#define TARROW_ADMIN_ADMINSETTINGS_H

#include <atomic>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Limits and timings of the console server. Not read from any file: the
// defaults are the server's; tests and benchmarks change them before the
// listener starts (later changes reach later sessions and checks).
class AdminSettings {
 public:
  AdminSettings() = default;
  AdminSettings(const AdminSettings&) = delete;
  AdminSettings& operator=(const AdminSettings&) = delete;

  // Local address the listener binds ("" = every address).
  std::string listenHost;
  // Sessions alive at once (the listener's cap) and per source address;
  // connections beyond either are closed at once.
  std::atomic<int> maxSessions{64};
  std::atomic<int> maxSessionsPerAddress{16};
  // A session not logged in after this long is closed.
  std::atomic<long> loginTimeoutMs{60000};
  // Requests a session may send before it logs in; the next one closes it.
  std::atomic<int> maxRequestsBeforeLogin{64};
  // A wrong login is answered after step x (failures so far in the session),
  // at most max; the closeAfter-th failure closes the session.
  std::atomic<long> loginDelayStepMs{1000};
  std::atomic<long> loginDelayMaxMs{5000};
  std::atomic<int> loginFailuresToClose{5};
  // After addressFailures failures from one address within addressWindowMs,
  // logins from that address fail unchecked until the window ends.
  std::atomic<int> addressFailures{20};
  std::atomic<long> addressWindowMs{600000};
  // CHAT commands a session may send per chatWindowMs.
  std::atomic<int> chatPerWindow{10};
  std::atomic<long> chatWindowMs{1000};
  // Keep-alive interval of console connections.
  std::atomic<long> keepAliveMs{20000};
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
