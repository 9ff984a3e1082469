#include "protocol/OXPack.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "framework/DateTime.h"
#include "framework/Exception.h"
#include "framework/Guid.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

namespace {

std::string NowText() { return Framework::DateTime().ToString(); }

bool HasByte(const std::string& text, char byte) { return text.find(byte) != std::string::npos; }

}  // namespace

OXPack::OXPack(std::string kind, std::string command, std::string body)
    : kind(std::move(kind)),
      command(std::move(command)),
      packId(GuidToString(CreateGuid())),
      time(NowText()),
      body(std::move(body)) {}

OXPack::OXPack(std::string kind, std::string command, std::string packId, std::string body)
    : kind(std::move(kind)),
      command(std::move(command)),
      packId(std::move(packId)),
      time(NowText()),
      body(std::move(body)) {}

OXPack::OXPack(std::string kind, std::string command, std::string packId, std::string time, std::string body)
    : kind(std::move(kind)),
      command(std::move(command)),
      packId(std::move(packId)),
      time(std::move(time)),
      body(std::move(body)) {}

void OXPack::CheckFrameSafe() const {
  const std::string* heads[] = {&kind, &command, &packId, &time};
  for (const std::string* field : heads) {
    if (HasByte(*field, '\n') || HasByte(*field, '\0'))
      throw new Exception("OXPROCTOL", "封包字段含有换行或空字符，拒绝发送！");
  }
  if (HasByte(body, '\0')) throw new Exception("OXPROCTOL", "封包内容含有空字符，拒绝发送！");
}

std::string OXPack::ToFrame() const {
  CheckFrameSafe();
  std::string frame;
  frame.reserve(kind.size() + command.size() + packId.size() + time.size() + body.size() + 5);
  frame.append(kind).push_back('\n');
  frame.append(command).push_back('\n');
  frame.append(packId).push_back('\n');
  frame.append(time).push_back('\n');
  frame.append(body).push_back('\0');
  return frame;
}

OXPack* OXPack::Parse(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  // Five fields need four LFs; everything after the fourth is the body, its
  // own LFs included.
  size_t cut[4];
  size_t from = 0;
  for (size_t& position : cut) {
    position = text.find('\n', from);
    if (position == std::string::npos) return nullptr;
    from = position + 1;
  }
  return new OXPack(text.substr(0, cut[0]), text.substr(cut[0] + 1, cut[1] - cut[0] - 1),
                    text.substr(cut[1] + 1, cut[2] - cut[1] - 1), text.substr(cut[2] + 1, cut[3] - cut[2] - 1),
                    text.substr(cut[3] + 1));
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
