#include "storage/DrbdText.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

bool _IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

bool _IsWord(const std::string& text) {
  if (text.empty() || text[0] == '-') return false;
  for (char c : text) {
    if (!_IsWordChar(c)) return false;
  }
  return true;
}

}  // namespace

bool DrbdText::IsPacketName(const std::string& text) { return _IsWord(text) && text != "all"; }

bool DrbdText::IsHostName(const std::string& text) { return _IsWord(text); }

bool DrbdText::IsIPv4(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (true) {
    size_t digits = 0;
    unsigned value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (at == text.size()) return parts == 4;
    if (text[at] != '.' || parts == 4) return false;
    ++at;
  }
}

bool DrbdText::IsSecret(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  }
  return true;
}

bool DrbdText::IsVolume(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!_IsWordChar(c) && c != '/') return false;
  }
  return true;
}

bool DrbdText::IsProtocol(const std::string& text) { return text == "A" || text == "B" || text == "C"; }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
