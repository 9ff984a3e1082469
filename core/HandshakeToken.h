#ifndef TARROW_CORE_HANDSHAKETOKEN_H
#define TARROW_CORE_HANDSHAKETOKEN_H

#include <cstdint>
#include <string>

#include "core/PeerProtocol.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The words and proofs of the link handshake.
class HandshakeToken {
 public:
  // The wire words, as PeerProtocol spells them.
  static constexpr const char* WHO_ARE_YOU = PeerProtocol::HA_WHO_ARE_YOU;
  static constexpr const char* VALID_TOKEN_B = PeerProtocol::HA_VALID_TOKEN_B;
  static constexpr const char* TOKENB_ERROR = PeerProtocol::HA_TOKENB_ERROR;
  static constexpr const char* INVALID_STATU = PeerProtocol::CS_INVALID_STATU;
  static constexpr const char* HEART_BEAT = PeerProtocol::HA_HEART_BEAT;
  static constexpr const char* BEAT_BODY = PeerProtocol::BEAT_ASK;
  static constexpr const char* BEAT_ANSWER = PeerProtocol::BEAT_ANSWER;
  static constexpr const char* RESPONSE_COMMAND = PeerProtocol::ANSWER_COMMAND;

  // Lower-case MD5 hex of key + "_" + nonceText.
  static std::string Digest(const std::string& key, const std::string& nonceText);
  // The nonce as unsigned 64-bit decimal.
  static std::string NonceText(uint64_t nonce);
  // A fresh unpredictable nonce.
  static uint64_t NewNonce();
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
