#ifndef TARROW_CORE_HANDSHAKETOKEN_H
#define TARROW_CORE_HANDSHAKETOKEN_H

#include <cstdint>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// The words and proofs of the link handshake.
class HandshakeToken {
 public:
  static constexpr const char* WHO_ARE_YOU = "HA_WHO_ARE_YOU";
  static constexpr const char* VALID_TOKEN_B = "HA_VALID_TOKEN_B";
  static constexpr const char* TOKENB_ERROR = "HA_TOKENB_ERROR";
  static constexpr const char* INVALID_STATU = "CS_INVALID_STATU";
  static constexpr const char* HEART_BEAT = "HA_HEART_BEAT";
  static constexpr const char* BEAT_BODY = "ASK";
  static constexpr const char* BEAT_ANSWER = "RESPONSE_V0.1 Alpha";
  static constexpr const char* RESPONSE_COMMAND = "RES";
  enum { WHO_ARE_YOU_TIMEOUT_MS = 2000, VALID_TOKEN_B_TIMEOUT_MS = 20000 };

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
