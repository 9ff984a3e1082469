#ifndef TARROW_ALARM_CODECONVERT_H
#define TARROW_ALARM_CODECONVERT_H

#include <cstddef>

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// Converts input (inputLength bytes) from the character set "from" to "to"
// with iconv into output: output is zero-filled first, then converted into
// once. 0 when everything was converted; -1 when the converter cannot be
// opened or the conversion stopped early (a sequence it cannot convert, or
// output full). What was converted before the stop stays in output.
int code_convert(const char* from, const char* to, const char* input, size_t inputLength, char* output,
                 size_t outputSize);

// code_convert from "utf-8" to "gb2312".
int u2g(const char* input, size_t inputLength, char* output, size_t outputSize);

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
