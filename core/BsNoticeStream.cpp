#include "core/BsNoticeStream.h"

#include "framework/BsPipe.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Framework::BsPipe;

std::vector<std::string> BsNoticeStream::Feed(const char* data, size_t length) {
  std::vector<std::string> names;
  _pending.append(data, length);
  size_t start = 0;
  for (size_t end = _pending.find('\0'); end != std::string::npos; end = _pending.find('\0', start)) {
    if (_discarding)
      _discarding = false;  // the end of the over-long run
    else
      _Judge(_pending.substr(start, end - start), names);
    start = end + 1;
  }
  _pending.erase(0, start);
  if (_pending.size() > kMaxPending) {
    _pending.clear();
    _discarding = true;
  }
  return names;
}

std::vector<std::string> BsNoticeStream::End() {
  std::vector<std::string> names;
  if (!_discarding && !_pending.empty()) _Judge(_pending, names);
  Clear();
  return names;
}

void BsNoticeStream::Clear() {
  _pending.clear();
  _discarding = false;
}

void BsNoticeStream::_Judge(const std::string& message, std::vector<std::string>& names) {
  std::string name;
  if (BsPipe::Accept(message.data(), message.size(), name)) names.push_back(name);
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
