#ifndef TARROW_CONFIG_IRESOURCECONFIG_H
#define TARROW_CONFIG_IRESOURCECONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IConfig.h"
#include "framework/Mutex.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Resource kind numbers: the kind travels with a resource in the tree record
// and in the resource status record, and selects record class and file.
enum OX_RESOURCE_KIND {
  RES_KIND_DISK_VOLUME = 0,
  RES_KIND_IP = 1,
  RES_KIND_ALIAS = 2,
  RES_KIND_SERVICE = 3,
  RES_KIND_PROGRAM = 4,
  RES_KIND_CUSTOM = 5,
  RES_KIND_FILE_SHARE = 6,
  RES_KIND_DRBD = 8
};

// Common part of the configuration record of every resource: 14 lines,
// followed in each kind by the kind's own lines.
//
// A record is shared: resource threads read it while a console thread copies
// new values in (CopyOf) and the resources subsystem sets a few fields. Every
// field is therefore read and written under the record's own mutex: getters
// return copies, setters copy in, ToString renders under the lock. The lock is
// never held while another record's lock is taken.
class IResourceConfig : public IConfig {
 public:
  // Reads lines 1 to 14 from *index on; throws Exception* "FORM_ERR" when
  // the lines run out.
  IResourceConfig(std::vector<std::string>* lines, unsigned int* index);
  // All 14 common fields of other (read under other's lock).
  IResourceConfig(const IResourceConfig& other);
  IResourceConfig& operator=(const IResourceConfig&) = delete;
  ~IResourceConfig() override;

  // The 14 common lines; kinds append "\n" and their own lines.
  std::string ToString() override;
  // Checks of a record handed in by a console (never of one read from a
  // file); throws Exception* "FORM_ERR" at the first bad value.
  virtual void Validate();
  // Takes all 14 common fields of other, the id included. Kinds take their
  // own copied fields first, then call this.
  virtual void CopyOf(IResourceConfig& other);
  // True when other differs in a field that takes effect only after the
  // resource is stopped and started again (kinds' own key fields only).
  virtual bool IsKeyConfigChanged(IResourceConfig& other) = 0;

  // A new record of the class of kind (0 to 6) with every field of source,
  // which must be of that class; NULL for any other kind.
  static IResourceConfig* CloneResConfig(IResourceConfig* source, int kind);

  // ---- fields (each access under the record's lock) ----------------------
  int GetId();
  void SetId(int id);
  std::string GetName();
  void SetName(const std::string& name);
  int GetCheckInterval();  // ms
  void SetCheckInterval(int ms);
  int GetMaxFailRestart();  // failed checks allowed before the resource counts as failed
  void SetMaxFailRestart(int count);
  int GetMaxTry();  // attempts to start or stop
  void SetMaxTry(int count);
  int GetConfigNumber();  // carried only; the status record shows it narrowed to 16 bits
  void SetConfigNumber(int number);
  int GetStartTimeout();  // ms
  void SetStartTimeout(int ms);
  int GetStopTimeout();  // ms
  void SetStopTimeout(int ms);
  int16_t GetCustomTestSwitch();  // non-zero: checks also run the custom test program
  void SetCustomTestSwitch(int16_t on);
  std::string GetCustomTestProgram();
  void SetCustomTestProgram(const std::string& path);
  std::string GetCustomTestArgs();
  void SetCustomTestArgs(const std::string& args);
  int GetCustomTestTimeout();  // ms
  void SetCustomTestTimeout(int ms);
  uint32_t GetFailureResetTime();  // ms
  void SetFailureResetTime(uint32_t ms);
  // Line 14, the managed flag (the console's "check" flag of a resource):
  // non-zero: failed checks lead to recovery; 0: they are ignored.
  int16_t GetManaged();
  void SetManaged(int16_t managed);

 protected:
  // Zeroed fields; for the copy constructors of the kinds, which fill the
  // record under the source's lock.
  IResourceConfig();

  // The 14 common fields, kept together so they can be copied in one step.
  struct _CommonFields {
    int id = 0;
    std::string name;
    int checkInterval = 0;
    int maxFailRestart = 0;
    int maxTry = 0;
    int configNumber = 0;
    int startTimeout = 0;
    int stopTimeout = 0;
    int16_t customTestSwitch = 0;
    std::string customTestProgram;
    std::string customTestArgs;
    int customTestTimeout = 0;
    uint32_t failureResetTime = 0;
    int16_t managed = 0;
  };

  // Unlocked helpers; the caller holds _lock.
  std::string _CommonText() const;
  // CR/LF/NUL check of the common text fields.
  void _CheckCommonTexts() const;
  // Checks of the kinds' own text fields; default none.
  virtual void _CheckOwnTexts() const {}

  mutable Framework::Mutex _lock;
  _CommonFields _common;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
