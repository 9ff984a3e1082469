#include "admin/ConsoleBody.h"

#include <sstream>

#include "framework/Convert.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::Convert;

const char* const ConsoleBody::SHORT_BODY = "输入数据不合法！";

std::vector<std::string> ConsoleBody::Lines(std::string body, size_t need, const std::string& shortText,
                                            const std::string& delimiters) {
  std::vector<std::string> lines = Convert::tokenize(body, delimiters, false, "");
  if (lines.size() < need) throw new Exception("FORM_ERR", shortText);
  return lines;
}

long long ConsoleBody::Number(const std::string& line) {
  std::istringstream in(line);
  long long value = 0;
  if (!(in >> value)) throw new Exception("FORM_ERR", SHORT_BODY);
  return value;
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
