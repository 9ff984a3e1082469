#ifndef TARROW_FRAMEWORK_MD5_H
#define TARROW_FRAMEWORK_MD5_H

#include <cstdint>
#include <fstream>
#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// RFC 1321 message digest with lower-case hexadecimal text.
class MD5 {
 public:
  MD5();
  explicit MD5(const std::string& text);
  MD5(const void* data, unsigned length);
  explicit MD5(std::ifstream& in);

  void update(const void* data, unsigned length);
  void update(const unsigned char* data, unsigned length);
  void update(const std::string& text);
  void update(std::ifstream& in);

  const unsigned char* digest();
  std::string toString();
  void reset();

  static std::string bytesToHexString(const unsigned char* bytes, unsigned length);

 private:
  void final();
  void transform(const unsigned char block[64]);
  static void encode(const uint32_t* input, unsigned char* output, unsigned length);
  static void decode(const unsigned char* input, uint32_t* output, unsigned length);

  uint32_t _state[4];
  uint32_t _count[2];
  unsigned char _buffer[64];
  unsigned char _digest[16];
  bool _finished;

  static const unsigned char PADDING[64];
  static const char HEX[16];
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
