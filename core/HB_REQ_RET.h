#ifndef TARROW_CORE_HB_REQ_RET_H
#define TARROW_CORE_HB_REQ_RET_H

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Result of every request to the peer (HeartBeatManager's request
// operations); HeartBeatManager::GetReqRetString gives its text.
enum HB_REQ_RET : int {
  HB_REQ_OK = 0,          // answered, first line "OK"
  HB_REQ_TIMEOUT = 1,     // no answer in time, or the connection released the request
  HB_REQ_NO_LINK = 2,     // no connected link, or its connection is not connected
  HB_REQ_REFUSED = 3      // answered, but not "OK" (or an "OK" without the lines read)
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
