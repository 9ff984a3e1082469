#ifndef TARROW_RESOURCE_PROGRAMRESOURCE_H
#define TARROW_RESOURCE_PROGRAMRESOURCE_H

#include <string>

#include "framework/Mutex.h"
#include "resource/IResource.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class ProgramResConfig;
}
namespace Resource {

// An application program that a tree keeps running (kind 4). A start runs
// the program as a child of the daemon and records its process id in the
// configuration record, which is saved, so the id survives a restart of the
// daemon. The check passes while that process is alive and runs the
// configured program; a stop kills it.
//
// Whether the recorded process is alive: a child this process started is
// asked with waitpid; any other process (started by an earlier run of the
// daemon, or an id read from the file) is alive when it exists and its
// executable is the configured program (its canonical path: a bare name is
// looked up on PATH, symbolic links resolved), or, for a script, when its
// command line names the script. A process id of 1 or less is never
// signalled.
class ProgramResource : public IResource {
 public:
  struct ProgramTimings {
    long startSettleMs = 500;  // pause after the program was started
    long killWaitMs = 5000;    // wait for a killed process that is not our child to go
  };

  explicit ProgramResource(Config::ProgramResConfig* config);
  ~ProgramResource() override;

  Config::IResourceConfig* GetIResConfig() override;
  Config::ProgramResConfig* GetConfig() { return _config; }

  bool TestRes() override;
  void StartRes() override;
  void StopRes() override;
  void Start() override;
  void Stop() override;

  // The text up to the first NUL character.
  static std::string _GetStartPath(const std::string& text);
  // Canonical path of a program as execvp would find it: a name without '/'
  // through PATH; symbolic links resolved. "" when there is no such file.
  static std::string CanonicalProgram(const std::string& program);
  // Whether pid is a live process running program (not asked with waitpid).
  static bool RunsProgram(int pid, const std::string& program);

  ProgramTimings GetProgramTimings();
  void SetProgramTimings(const ProgramTimings& timings);

 private:
  // The recorded pid, or 0 when it is none or not a usable process id.
  int _RecordedPid();
  void _ClearPid();
  // Whether the recorded process is alive and is ours to manage.
  bool _IsAlive(int pid);

  static bool _IsOwnChild(int pid);
  static void _AddOwnChild(int pid);
  static void _ForgetOwnChild(int pid);

  Config::ProgramResConfig* _config;  // owned by the store
  Framework::Mutex _timingsLock;
  ProgramTimings _timings;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
