#include "protocol/QuorumOXReceiveThread.h"

#include <cstring>
#include <string>
#include <vector>

#include "protocol/OXPack.h"
#include "protocol/OXQuorum.h"
#include "protocol/QuorumOXConnection.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

OXPack* QuorumOXReceiveThread::_ReceiveLogic() {
  std::vector<char> buffer(QuorumOXConnection::RECEIVE_BUFFER + 1);
  for (;;) {
    const unsigned long length = _quorum->Receive(buffer.data(), QuorumOXConnection::RECEIVE_BUFFER);
    buffer[length] = '\0';
    OXPack* pack = OXPack::Parse(std::string(buffer.data(), std::strlen(buffer.data())));
    if (pack != nullptr) return pack;  // fewer than five fields: dropped
  }
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
