#ifndef TARROW_CONFIG_HEARTBEATLINKCONFIG_H
#define TARROW_CONFIG_HEARTBEATLINKCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Kinds of heartbeat link; no link is created for any other value.
enum HBL_TYPE { HBL_TYPE_TCP = 0, HBL_TYPE_COM = 1, HBL_TYPE_QUORUM = 2 };

// One heartbeat link of configs/hb.cfg. Lines: id, order, type, name,
// address, serial setting, key A, key B.
//
// The link's thread reads the record while console threads change it: every
// field is read and written under the record's own mutex.
class HeartBeatLinkConfig : public IConfig {
 public:
  // Id 0, order 0, type TCP, empty texts.
  HeartBeatLinkConfig();
  // Reads the next eight lines; throws Exception* "FORM_ERR" when they run out.
  HeartBeatLinkConfig(std::vector<std::string>* lines, unsigned int* index);
  HeartBeatLinkConfig(const HeartBeatLinkConfig&) = delete;
  HeartBeatLinkConfig& operator=(const HeartBeatLinkConfig&) = delete;
  ~HeartBeatLinkConfig() override;

  std::string ToString() override;

  // Greatest id of the list (signed), -1 for an empty list.
  static int SelectMaxId(std::vector<HeartBeatLinkConfig*>* list);

  // ---- fields (each access under the record's lock) ----------------------
  int32_t GetId() const;
  void SetId(int32_t id);
  int32_t GetOrder() const;  // sort key of the link list, ascending
  void SetOrder(int32_t order);
  int16_t GetType() const;  // HBL_TYPE
  void SetType(int16_t type);
  std::string GetName() const;
  void SetName(const std::string& name);
  // TCP: the peer's address; serial line: "COM" and a number; quorum disk: the disk ID.
  std::string GetAddress() const;
  void SetAddress(const std::string& address);
  std::string GetSerialSetting() const;  // serial line: the line speed
  void SetSerialSetting(const std::string& setting);
  std::string GetKeyA() const;
  void SetKeyA(const std::string& key);
  std::string GetKeyB() const;
  void SetKeyB(const std::string& key);

 private:
  mutable Framework::Mutex _lock;
  int32_t _id;
  int32_t _order;
  int16_t _type;
  std::string _name;
  std::string _address;
  std::string _serialSetting;
  std::string _keyA;
  std::string _keyB;
};

// Sort predicate of the link list: a's order is less than b's (signed).
bool HBL_LessCompressor(const HeartBeatLinkConfig* a, const HeartBeatLinkConfig* b);

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
