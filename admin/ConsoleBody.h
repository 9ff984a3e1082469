#ifndef TARROW_ADMIN_CONSOLEBODY_H
#define TARROW_ADMIN_CONSOLEBODY_H

#include <cstddef>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Reading of console request bodies, shared by every handler.
class ConsoleBody {
 public:
  // Answer to a body with too few lines, unless a command names another.
  static const char* const SHORT_BODY;  // "输入数据不合法！"

  // The body cut at any of delimiters, empty pieces kept (CRs removed).
  // Fewer than need pieces: throws Exception* "FORM_ERR" with shortText.
  static std::vector<std::string> Lines(std::string body, size_t need, const std::string& shortText = SHORT_BODY,
                                        const std::string& delimiters = "\n");

  // A number read as a stream reads it: blanks skipped, an optional sign,
  // then digits up to the first other character. A line without a digit
  // there, or a number beyond 64 bits, throws Exception* "FORM_ERR" with
  // SHORT_BODY.
  static long long Number(const std::string& line);
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
