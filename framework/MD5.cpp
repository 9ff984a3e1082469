#include "framework/MD5.h"

#include <cstring>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// Shift amounts of the four rounds.
const unsigned S11 = 7, S12 = 12, S13 = 17, S14 = 22;
const unsigned S21 = 5, S22 = 9, S23 = 14, S24 = 20;
const unsigned S31 = 4, S32 = 11, S33 = 16, S34 = 23;
const unsigned S41 = 6, S42 = 10, S43 = 15, S44 = 21;

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

inline uint32_t RotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t ac) {
  a = RotateLeft(a + F(b, c, d) + x + ac, s) + b;
}
inline void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t ac) {
  a = RotateLeft(a + G(b, c, d) + x + ac, s) + b;
}
inline void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t ac) {
  a = RotateLeft(a + H(b, c, d) + x + ac, s) + b;
}
inline void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t ac) {
  a = RotateLeft(a + I(b, c, d) + x + ac, s) + b;
}

}  // namespace

const unsigned char MD5::PADDING[64] = {0x80};
const char MD5::HEX[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

MD5::MD5() { reset(); }

MD5::MD5(const std::string& text) {
  reset();
  update(text);
}

MD5::MD5(const void* data, unsigned length) {
  reset();
  update(data, length);
}

MD5::MD5(std::ifstream& in) {
  reset();
  update(in);
}

void MD5::update(const void* data, unsigned length) { update(static_cast<const unsigned char*>(data), length); }

void MD5::update(const unsigned char* data, unsigned length) {
  _finished = false;

  unsigned index = (_count[0] >> 3) & 0x3F;
  // Bit count, carried into the high word.
  uint32_t bits = static_cast<uint32_t>(length) << 3;
  if ((_count[0] += bits) < bits) ++_count[1];
  _count[1] += static_cast<uint32_t>(length) >> 29;

  unsigned partLen = 64 - index;
  unsigned i = 0;
  if (length >= partLen) {
    memcpy(&_buffer[index], data, partLen);
    transform(_buffer);
    for (i = partLen; i + 63 < length; i += 64) transform(&data[i]);
    index = 0;
  }
  if (length > i) memcpy(&_buffer[index], &data[i], length - i);
}

void MD5::update(const std::string& text) {
  update(reinterpret_cast<const unsigned char*>(text.data()), static_cast<unsigned>(text.size()));
}

void MD5::update(std::ifstream& in) {
  if (!in) return;
  char block[1024];
  while (in) {
    in.read(block, sizeof(block));
    std::streamsize n = in.gcount();
    if (n > 0) update(reinterpret_cast<const unsigned char*>(block), static_cast<unsigned>(n));
  }
  in.close();
}

const unsigned char* MD5::digest() {
  if (!_finished) {
    final();  // feeds the padding through update, which clears the flag
    _finished = true;
  }
  return _digest;
}

std::string MD5::toString() { return bytesToHexString(digest(), 16); }

void MD5::reset() {
  _finished = false;
  _count[0] = _count[1] = 0;
  _state[0] = 0x67452301;
  _state[1] = 0xefcdab89;
  _state[2] = 0x98badcfe;
  _state[3] = 0x10325476;
  memset(_buffer, 0, sizeof(_buffer));
  memset(_digest, 0, sizeof(_digest));
}

std::string MD5::bytesToHexString(const unsigned char* bytes, unsigned length) {
  std::string text;
  text.reserve(static_cast<size_t>(length) * 2);
  for (unsigned i = 0; i < length; ++i) {
    text += HEX[bytes[i] >> 4];
    text += HEX[bytes[i] & 0x0F];
  }
  return text;
}

void MD5::final() {
  // The digest is taken from a copy of the running state, so more input may
  // still follow; the unprocessed buffer is kept too, since padding overwrites it.
  uint32_t oldState[4];
  uint32_t oldCount[2];
  unsigned char oldBuffer[64];
  memcpy(oldState, _state, sizeof(_state));
  memcpy(oldCount, _count, sizeof(_count));
  memcpy(oldBuffer, _buffer, sizeof(_buffer));

  unsigned char bits[8];
  encode(_count, bits, 8);

  unsigned index = (_count[0] >> 3) & 0x3F;
  unsigned padLen = (index < 56) ? (56 - index) : (120 - index);
  update(PADDING, padLen);
  update(bits, 8);

  encode(_state, _digest, 16);

  memcpy(_state, oldState, sizeof(_state));
  memcpy(_count, oldCount, sizeof(_count));
  memcpy(_buffer, oldBuffer, sizeof(_buffer));
}

void MD5::transform(const unsigned char block[64]) {
  uint32_t a = _state[0], b = _state[1], c = _state[2], d = _state[3], x[16];
  decode(block, x, 64);

  // Round 1
  FF(a, b, c, d, x[0], S11, 0xd76aa478);
  FF(d, a, b, c, x[1], S12, 0xe8c7b756);
  FF(c, d, a, b, x[2], S13, 0x242070db);
  FF(b, c, d, a, x[3], S14, 0xc1bdceee);
  FF(a, b, c, d, x[4], S11, 0xf57c0faf);
  FF(d, a, b, c, x[5], S12, 0x4787c62a);
  FF(c, d, a, b, x[6], S13, 0xa8304613);
  FF(b, c, d, a, x[7], S14, 0xfd469501);
  FF(a, b, c, d, x[8], S11, 0x698098d8);
  FF(d, a, b, c, x[9], S12, 0x8b44f7af);
  FF(c, d, a, b, x[10], S13, 0xffff5bb1);
  FF(b, c, d, a, x[11], S14, 0x895cd7be);
  FF(a, b, c, d, x[12], S11, 0x6b901122);
  FF(d, a, b, c, x[13], S12, 0xfd987193);
  FF(c, d, a, b, x[14], S13, 0xa679438e);
  FF(b, c, d, a, x[15], S14, 0x49b40821);

  // Round 2
  GG(a, b, c, d, x[1], S21, 0xf61e2562);
  GG(d, a, b, c, x[6], S22, 0xc040b340);
  GG(c, d, a, b, x[11], S23, 0x265e5a51);
  GG(b, c, d, a, x[0], S24, 0xe9b6c7aa);
  GG(a, b, c, d, x[5], S21, 0xd62f105d);
  GG(d, a, b, c, x[10], S22, 0x02441453);
  GG(c, d, a, b, x[15], S23, 0xd8a1e681);
  GG(b, c, d, a, x[4], S24, 0xe7d3fbc8);
  GG(a, b, c, d, x[9], S21, 0x21e1cde6);
  GG(d, a, b, c, x[14], S22, 0xc33707d6);
  GG(c, d, a, b, x[3], S23, 0xf4d50d87);
  GG(b, c, d, a, x[8], S24, 0x455a14ed);
  GG(a, b, c, d, x[13], S21, 0xa9e3e905);
  GG(d, a, b, c, x[2], S22, 0xfcefa3f8);
  GG(c, d, a, b, x[7], S23, 0x676f02d9);
  GG(b, c, d, a, x[12], S24, 0x8d2a4c8a);

  // Round 3
  HH(a, b, c, d, x[5], S31, 0xfffa3942);
  HH(d, a, b, c, x[8], S32, 0x8771f681);
  HH(c, d, a, b, x[11], S33, 0x6d9d6122);
  HH(b, c, d, a, x[14], S34, 0xfde5380c);
  HH(a, b, c, d, x[1], S31, 0xa4beea44);
  HH(d, a, b, c, x[4], S32, 0x4bdecfa9);
  HH(c, d, a, b, x[7], S33, 0xf6bb4b60);
  HH(b, c, d, a, x[10], S34, 0xbebfbc70);
  HH(a, b, c, d, x[13], S31, 0x289b7ec6);
  HH(d, a, b, c, x[0], S32, 0xeaa127fa);
  HH(c, d, a, b, x[3], S33, 0xd4ef3085);
  HH(b, c, d, a, x[6], S34, 0x04881d05);
  HH(a, b, c, d, x[9], S31, 0xd9d4d039);
  HH(d, a, b, c, x[12], S32, 0xe6db99e5);
  HH(c, d, a, b, x[15], S33, 0x1fa27cf8);
  HH(b, c, d, a, x[2], S34, 0xc4ac5665);

  // Round 4
  II(a, b, c, d, x[0], S41, 0xf4292244);
  II(d, a, b, c, x[7], S42, 0x432aff97);
  II(c, d, a, b, x[14], S43, 0xab9423a7);
  II(b, c, d, a, x[5], S44, 0xfc93a039);
  II(a, b, c, d, x[12], S41, 0x655b59c3);
  II(d, a, b, c, x[3], S42, 0x8f0ccc92);
  II(c, d, a, b, x[10], S43, 0xffeff47d);
  II(b, c, d, a, x[1], S44, 0x85845dd1);
  II(a, b, c, d, x[8], S41, 0x6fa87e4f);
  II(d, a, b, c, x[15], S42, 0xfe2ce6e0);
  II(c, d, a, b, x[6], S43, 0xa3014314);
  II(b, c, d, a, x[13], S44, 0x4e0811a1);
  II(a, b, c, d, x[4], S41, 0xf7537e82);
  II(d, a, b, c, x[11], S42, 0xbd3af235);
  II(c, d, a, b, x[2], S43, 0x2ad7d2bb);
  II(b, c, d, a, x[9], S44, 0xeb86d391);

  _state[0] += a;
  _state[1] += b;
  _state[2] += c;
  _state[3] += d;
}

void MD5::encode(const uint32_t* input, unsigned char* output, unsigned length) {
  for (unsigned i = 0, j = 0; j < length; ++i, j += 4) {
    output[j] = static_cast<unsigned char>(input[i] & 0xff);
    output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
    output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
    output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
  }
}

void MD5::decode(const unsigned char* input, uint32_t* output, unsigned length) {
  for (unsigned i = 0, j = 0; j < length; ++i, j += 4) {
    output[i] = static_cast<uint32_t>(input[j]) | (static_cast<uint32_t>(input[j + 1]) << 8) |
                (static_cast<uint32_t>(input[j + 2]) << 16) | (static_cast<uint32_t>(input[j + 3]) << 24);
  }
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
