#include "framework/__OXFile.h"

#include <utility>
#include <vector>

#include "framework/Convert.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// The time piece of a "name|time" text; a text without one is an invalid
// time, reported as DateTime reports it.
DateTime _ParseTime(const std::vector<std::string>& pieces) {
  return DateTime(pieces.size() >= 2 ? pieces[1] : std::string());
}

std::vector<std::string> _Split(std::string text) { return Convert::tokenize(text, "|", false, ""); }

}  // namespace

__OXFile::__OXFile(std::string fullPath_, std::string name_, DateTime time_)
    : fullPath(std::move(fullPath_)), name(std::move(name_)), time(time_) {}

__OXFile::__OXFile(std::string text) : __OXFile(std::string(), std::string(), DateTime(0, 0, 0, 0, 0, 0, 0)) {
  std::vector<std::string> pieces = _Split(std::move(text));
  time = _ParseTime(pieces);
  if (!pieces.empty()) name = pieces[0];
}

std::string __OXFile::ToString() const { return name + "|" + time.ToString(); }

bool __OXFile::operator<(const __OXFile& other) const { return time < other.time; }

bool __OXFile::operator>(const __OXFile& other) const { return time > other.time; }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
