#ifndef TARROW_STORAGE_NOTIFYQUORUMOPFAILURE_H
#define TARROW_STORAGE_NOTIFYQUORUMOPFAILURE_H

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Tells the debug hook that a quorum disk access failed: "read" (read true)
// or "write", then " quorum disk failure, ", errno and its strerror text.
void NotifyQuorumOpFailure(bool read);

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
