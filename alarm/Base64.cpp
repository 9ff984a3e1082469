#include "alarm/Base64.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64::Encode(const unsigned char* data, int length) {
  std::string text;
  if (data == nullptr || length <= 0) return text;
  text.reserve(static_cast<size_t>((length + 2) / 3) * 4);
  int i = 0;
  for (; i + 3 <= length; i += 3) {
    const unsigned int group =
        (static_cast<unsigned int>(data[i]) << 16) | (static_cast<unsigned int>(data[i + 1]) << 8) | data[i + 2];
    text += kAlphabet[(group >> 18) & 0x3F];
    text += kAlphabet[(group >> 12) & 0x3F];
    text += kAlphabet[(group >> 6) & 0x3F];
    text += kAlphabet[group & 0x3F];
  }
  const int rest = length - i;
  if (rest == 1) {
    const unsigned int group = static_cast<unsigned int>(data[i]) << 16;
    text += kAlphabet[(group >> 18) & 0x3F];
    text += kAlphabet[(group >> 12) & 0x3F];
    text += "==";
  } else if (rest == 2) {
    const unsigned int group =
        (static_cast<unsigned int>(data[i]) << 16) | (static_cast<unsigned int>(data[i + 1]) << 8);
    text += kAlphabet[(group >> 18) & 0x3F];
    text += kAlphabet[(group >> 12) & 0x3F];
    text += kAlphabet[(group >> 6) & 0x3F];
    text += '=';
  }
  return text;
}

std::string Base64::Encode(const std::string& bytes) {
  return Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
