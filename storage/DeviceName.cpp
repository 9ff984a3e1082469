#include "storage/DeviceName.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

bool _IsDigit(char c) { return c >= '0' && c <= '9'; }

bool _AllDigits(const std::string& text, std::string::size_type from) {
  if (from >= text.size()) return false;
  for (std::string::size_type i = from; i < text.size(); ++i) {
    if (!_IsDigit(text[i])) return false;
  }
  return true;
}

}  // namespace

bool DeviceName::EndsWithDigit(const std::string& text) { return !text.empty() && _IsDigit(text.back()); }

std::string DeviceName::LastPiece(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool DeviceName::SplitPartition(const std::string& text, std::string& disk, std::string& number) {
  std::string::size_type end = text.size();
  while (end > 0 && _IsDigit(text[end - 1])) --end;
  if (end == text.size()) {
    disk = text;
    number.clear();
    return false;
  }
  number = text.substr(end);
  std::string head = text.substr(0, end);
  // "loop0p1": the "p" separates a disk name that ends in a digit.
  if (head.size() >= 2 && head.back() == 'p' && _IsDigit(head[head.size() - 2])) head.pop_back();
  disk = head;
  return true;
}

bool DeviceName::IsPartitionOf(const std::string& name, const std::string& disk) {
  if (disk.empty() || name.size() <= disk.size() || name.compare(0, disk.size(), disk) != 0) return false;
  std::string::size_type at = disk.size();
  if (EndsWithDigit(disk)) {
    if (name[at] != 'p') return false;
    ++at;
  }
  return _AllDigits(name, at);
}

bool DeviceName::IsDiskOrPartitionOf(const std::string& name, const std::string& disk) {
  return !disk.empty() && (name == disk || IsPartitionOf(name, disk));
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
