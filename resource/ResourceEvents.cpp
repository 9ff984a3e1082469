#include "resource/ResourceEvents.h"

#include <cstdio>

#include "alarm/AlarmManager.h"
#include "framework/EventManager.h"
#include "framework/Exception.h"

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

using Framework::EventManager;

void ResourceEvents::TreeChanged() {
  try {
    EventManager::Instance()->NotifyResourceTreeChanged();
  } catch (Exception* e) {  // the bus stayed full: the announcement is dropped
    delete e;
  }
}

void ResourceEvents::Post(const std::string& source, const std::string& text) {
  try {
    EventManager::Instance()->Notify(-1, source, text);
  } catch (Exception* e) {
    delete e;
  }
}

void ResourceEvents::Error(const std::string& text) {
  try {
    EventManager::Instance()->Error(text);
  } catch (Exception* e) {
    delete e;
  }
}

void ResourceEvents::Debug(const std::string& text) { EventManager::Instance()->Debug(text); }

void ResourceEvents::Alarm(int kind, const std::string& text) { Velmora::Alarm::OXAlarm(kind, text); }

void ResourceEvents::Print(const std::string& line) {
  const std::string withNewline = line + "\n";
  std::fwrite(withNewline.data(), 1, withNewline.size(), stdout);
  std::fflush(stdout);
}

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale
