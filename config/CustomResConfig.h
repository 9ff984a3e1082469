#ifndef TARROW_CONFIG_CUSTOMRESCONFIG_H
#define TARROW_CONFIG_CUSTOMRESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Custom resource (kind 5): started and stopped by programs of the user's
// choice. Own lines: 15 start program, 16 start arguments, 17 stop program,
// 18 stop arguments, 19 spare number (read and written back only).
class CustomResConfig : public IResourceConfig {
 public:
  CustomResConfig(std::vector<std::string>* lines, unsigned int* index);
  CustomResConfig(const CustomResConfig& other);
  CustomResConfig& operator=(const CustomResConfig&) = delete;
  ~CustomResConfig() override;

  std::string ToString() override;
  // Takes lines 15 to 18 (not the spare number), then the common fields.
  void CopyOf(IResourceConfig& other) override;
  // Key fields: start program, start arguments.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetStartProgram();
  void SetStartProgram(const std::string& path);
  std::string GetStartArgs();
  void SetStartArgs(const std::string& args);
  std::string GetStopProgram();
  void SetStopProgram(const std::string& path);
  std::string GetStopArgs();
  void SetStopArgs(const std::string& args);
  int GetSpareNumber();

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _startProgram;
  std::string _startArgs;
  std::string _stopProgram;
  std::string _stopArgs;
  int _spareNumber;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
