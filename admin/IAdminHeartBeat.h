#ifndef TARROW_ADMIN_IADMINHEARTBEAT_H
#define TARROW_ADMIN_IADMINHEARTBEAT_H

#include <functional>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class HeartBeatLinkConfig;
}
namespace Core {

// What the console service asks of the heartbeat link manager.
class IAdminHeartBeat {
 public:
  virtual ~IAdminHeartBeat() = default;
  // The heartbeat settings changed (port or host role): the manager creates,
  // moves or keeps its heartbeat listener accordingly.
  virtual void OnHBListenPortModified() = 0;

  // ---- the links, for the heartbeat commands ------------------------------
  // The status text (HeartBeatEntity) of every link, in list order, from a
  // snapshot of the list taken under the link-list lock.
  virtual std::vector<std::string> GetLinkTexts() = 0;
  // The status text of the first link whose record id is exactly id; false
  // when there is none.
  virtual bool GetLinkTextById(int id, std::string* text) = 0;
  // Creates, lists and starts a link for the stored record (not owned).
  virtual void AddHeartBeat(Config::HeartBeatLinkConfig* config) = 0;
  // Takes the first link with this record id out of the list. Returns what
  // stops and releases it (run once, on any thread), or an empty function
  // when there is no such link. The link's record, which the caller has just
  // taken out of the store, goes with the link: the function takes it over
  // (the link may still be read through after the function returned).
  virtual std::function<void()> RemoveHeartBeatLinkById(int id) = 0;
  // The link with exactly this record id drops its connection and connects
  // again with its record's settings; false when there is none.
  virtual bool ReconnectLinkById(int id) = 0;
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
