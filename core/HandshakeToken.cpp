#include "core/HandshakeToken.h"

#include <random>

#include "framework/MD5.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

std::string HandshakeToken::Digest(const std::string& key, const std::string& nonceText) {
  Framework::MD5 md5(key + "_" + nonceText);
  return md5.toString();
}

std::string HandshakeToken::NonceText(uint64_t nonce) { return std::to_string(nonce); }

uint64_t HandshakeToken::NewNonce() {
  // random_device draws from the kernel's random source, one generator per
  // call so that no state is shared between threads.
  std::random_device device;
  const uint64_t high = device();
  const uint64_t low = device();
  return (high << 32) ^ low;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
