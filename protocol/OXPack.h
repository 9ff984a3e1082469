#ifndef TARROW_PROTOCOL_OXPACK_H
#define TARROW_PROTOCOL_OXPACK_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

// One message: five text fields. On every transport a pack travels as one
// frame: kind LF command LF packId LF time LF body NUL (no header, no length,
// no escaping). Created on the heap and passed by pointer; the holder of the
// pointer owns it.
class OXPack {
 public:
  // The values of kind.
  struct PackKind {
    static constexpr const char* REQUEST = "request";      // dispatched to the request processor
    static constexpr const char* RESPONSE = "response";    // packId = id of the request it answers
    static constexpr const char* PUSH = "push";            // dispatched to the push processor
    static constexpr const char* HEARTBEAT = "heartbeat";  // keep-alive, command "0", body "0"; dropped
    static constexpr const char* STOP = "-1";              // stop marker of a send queue; never written
  };

  // A fresh packId (GUID text) and time (current local time text).
  OXPack(std::string kind, std::string command, std::string body);
  // The given packId (responses), time = now.
  OXPack(std::string kind, std::string command, std::string packId, std::string body);
  // All five fields as given (received packs keep the sender's id and time).
  OXPack(std::string kind, std::string command, std::string packId, std::string time, std::string body);

  std::string kind;
  std::string command;
  std::string packId;
  std::string time;
  std::string body;  // any text, may contain LF

  // Throws Exception* "OXPROCTOL" when the pack cannot travel as one frame:
  // a NUL in any field, or an LF in kind, command, packId or time (either
  // would let the rest of the frame be read as a forged pack).
  void CheckFrameSafe() const;

  // The whole frame, the terminating NUL included. Throws like CheckFrameSafe.
  std::string ToFrame() const;

  // Parses a frame text (the bytes before the NUL, NUL excluded): every CR is
  // removed, the text is cut at LF; fields 1-4 are kind, command, packId,
  // time, the rest joined by LF is the body (an empty or LF-ended body stays
  // so). Returns a new pack, or null when the text has fewer than five fields
  // (such a frame is dropped). Never throws.
  static OXPack* Parse(std::string text);
};

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
