#ifndef TARROW_CONFIG_PROGRAMRESCONFIG_H
#define TARROW_CONFIG_PROGRAMRESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Application program (kind 4). Own lines: 15 process line ("pid|second",
// run-time state kept in the record), 16 program path, 17 program arguments.
class ProgramResConfig : public IResourceConfig {
 public:
  ProgramResConfig(std::vector<std::string>* lines, unsigned int* index);
  ProgramResConfig(const ProgramResConfig& other);
  ProgramResConfig& operator=(const ProgramResConfig&) = delete;
  ~ProgramResConfig() override;

  std::string ToString() override;
  // Takes lines 16 and 17 (the process line stays), then the common fields.
  void CopyOf(IResourceConfig& other) override;
  // Key field: program path.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  // Process id of the program the resource started, 0 when none.
  uint32_t GetProcessId();
  uint32_t GetProcessSecond();
  // Sets the process id and clears the second number.
  void SetProcessId(uint32_t pid);
  std::string GetProgramPath();
  void SetProgramPath(const std::string& path);
  std::string GetProgramArgs();
  void SetProgramArgs(const std::string& args);

 protected:
  void _CheckOwnTexts() const override;

 private:
  uint32_t _processId;
  uint32_t _processSecond;
  std::string _programPath;
  std::string _programArgs;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
