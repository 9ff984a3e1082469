#include "alarm/CodeConvert.h"

#include <iconv.h>

#include <cstring>

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

int code_convert(const char* from, const char* to, const char* input, size_t inputLength, char* output,
                 size_t outputSize) {
  if (output != nullptr && outputSize > 0) std::memset(output, 0, outputSize);
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return -1;
  char* in = const_cast<char*>(input);
  size_t inLeft = input == nullptr ? 0 : inputLength;
  char* out = output;
  size_t outLeft = output == nullptr ? 0 : outputSize;
  const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  iconv_close(converter);
  return result == static_cast<size_t>(-1) ? -1 : 0;
}

int u2g(const char* input, size_t inputLength, char* output, size_t outputSize) {
  return code_convert("utf-8", "gb2312", input, inputLength, output, outputSize);
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
