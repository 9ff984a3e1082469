#ifndef TARROW_RESOURCE_IPRESOURCE_H
#define TARROW_RESOURCE_IPRESOURCE_H

#include <atomic>
#include <string>
#include <vector>

#include "config/IPResourceConfig.h"
#include "framework/Mutex.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {
class NetAdaptor;
}
namespace Resource {

// The virtual IPv4 address of a tree (kind 1): put on a free alias of its
// interface with ifconfig and announced with a gratuitous ARP on start (and
// again by the first check after a start that announced it without link),
// taken down on stop. It runs while the address sits on the interface, the
// interface is present with its link, and a reference address answers.
//
// The class-wide mutex CS serialises all interface work of the address
// resources (so two never pick the same alias); the pings to reference
// addresses and the conflict probe run after it is released.
//
// Address, netmask, interface and references are checked before any command
// runs: a text that is not a dotted IPv4 address (or a proper interface
// name) never reaches ifconfig, arping or ping.
class IPResource : public IResource {
 public:
  // Pauses of a start, in ms; tests shorten them.
  struct Timings {
    long settleMs = 500;       // after adding the alias, and after the announcement
    long arpingWaitMs = 5000;  // the announcement is killed when late
  };

  explicit IPResource(Config::IPResourceConfig* config);
  ~IPResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  bool TestRes() override;
  // The base's pre-start check, then takes down this resource's own address
  // (other addresses on the interface stay).
  void ProcessOnResourceFailure() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;
  bool BeforeStartCheck(bool alarm) override;
  // BeforeStartCheck without the probe of the address itself.
  bool BeforeStartCheckNoImpact(bool alarm) override;

  // The alias number the last start created, 0 after a stop.
  unsigned long GetAliasNumber() const { return _aliasNumber.load(); }
  bool IsConflictReported() const { return _conflictReported.load(); }

  static Timings GetIPTimings();
  static void SetIPTimings(const Timings& timings);

  // Serialises the interface work of every address resource of the process.
  static Framework::Mutex CS;

 private:
  // What the interface list says about this resource, read under CS.
  struct Picture {
    bool found = false;
    bool hasAddress = false;
    bool notConnected = true;
    bool disabled = true;
  };

  // Looks the interface up in the list (refreshed by the caller).
  void _ReadyNetAdaptor();
  // Under CS: refreshes the list and looks the interface up; null when it
  // is not there.
  Framework::NetAdaptor* _RefreshedAdaptor();
  // Under CS: refresh, lookup, and what the list says.
  Picture _Look();
  // Address and netmask are dotted IPv4 texts, the interface a proper name.
  bool _SettingsValid();
  std::string _InvalidText();
  std::string _Name();
  bool _Check(bool alarm, bool probe);
  // The reference addresses answer (true without references).
  bool _ReferencesAnswer(uint16_t port);
  void _Refuse(bool alarm, const std::string& text);
  // Under CS: the interface, looked up afresh, is there with its link.
  bool _HasLink();
  // Under CS: the gratuitous ARP for the address; owed again when the link
  // was out before or after it.
  void _Announce(const Timings& timings);

  Config::IPResourceConfig* _config;
  std::atomic<Framework::NetAdaptor*> _adaptor{nullptr};
  std::atomic<unsigned long> _aliasNumber{0};
  std::atomic<bool> _conflictReported{false};
  std::atomic<bool> _announceOwed{false};  // the last announcement went out without link
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
