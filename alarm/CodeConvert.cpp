#include "alarm/CodeConvert.h"

#include <cstring>

#include "framework/Convert.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

int code_convert(const char* from, const char* to, const char* input, size_t inputLength, char* output,
                 size_t outputSize) {
  // No output buffer: convert into an empty one (nothing to convert, 0;
  // anything to convert does not fit, -1).
  char none = '\0';
  if (output == nullptr) {
    output = &none;
    outputSize = 0;
  }
  std::memset(output, 0, outputSize);  // zero-filled even when the converter cannot be opened
  // iconv only reads the input; Framework::code_convert takes it as char*.
  return Framework::code_convert(from, to, const_cast<char*>(input), input == nullptr ? 0 : inputLength, output,
                                 outputSize);
}

int u2g(const char* input, size_t inputLength, char* output, size_t outputSize) {
  return code_convert("utf-8", "gb2312", input, inputLength, output, outputSize);
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
