#ifndef TARROW_RESOURCE_NETADAPTORFACTORY_H
#define TARROW_RESOURCE_NETADAPTORFACTORY_H

#include <cstddef>
#include <string>
#include <vector>

#include "framework/Mutex.h"
#include "framework/NonCopyable.h"
#include "resource/NetAdaptor.h"
#include "resource/NetAdaptorEntity.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// The process-wide list of the machine's IPv4 interfaces, read with socket
// ioctls. Alias interfaces (eth0:3) are folded into their base interface.
// Entries are never removed: an interface that disappears stays, disabled.
//
// The lock guards every refresh and every read of an entry, so listings for
// the console and the address resources may refresh at the same time.
class NetAdaptorFactory : NonCopyable {
 public:
  // The single factory, created on first use (thread-safe).
  static NetAdaptorFactory* Instance();

  NetAdaptorFactory();
  ~NetAdaptorFactory();

  // Re-reads the interfaces. Returns the number of interface requests read,
  // -1 when the system could not be asked (the list then stays as it was).
  int RefushAdaptorList();
  // The entry named name (disabled ones too); does not refresh. Exception*
  // "OS_DATA_ERR" when there is none.
  NetAdaptor* CreateNetAdaptor(const std::string& name);
  // Refreshes; the entries that are not disabled. The caller deletes the
  // vector, not the entries.
  std::vector<NetAdaptor*>* GetAdaptorList();
  // Refreshes; one record per entry with its own address, or "断开连接"
  // for an entry without any address. The caller deletes the vector.
  std::vector<NetAdaptorEntity>* GetAdaptorEntityList();
  // Takes down the aliases of every listed interface that carry one of the
  // addresses (the virtual addresses of this node's IP resources); other
  // aliases, as those an operator or another program added, and each
  // interface's own address stay.
  void ClearBadMountedIP(const std::vector<std::string>& addresses);

  // Size of the first interface-list buffer; it grows until the answer fits.
  static void SetInitialConfBufferSize(size_t bytes);

 private:
  friend class NetAdaptor;

  NetAdaptor* _FindAdaptor(const std::string& name);  // under _lock

  std::vector<NetAdaptor*> _list;  // owned; under _lock
  Mutex _lock;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
