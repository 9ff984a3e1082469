#ifndef TARROW_CONFIG_FILESHARERESCONFIG_H
#define TARROW_CONFIG_FILESHARERESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// File share (kind 6): stored, compared and served only. Own lines: 15 first
// share text, 16 second share text, 17 share list (joined by '|').
class FileShareResConfig : public IResourceConfig {
 public:
  FileShareResConfig(std::vector<std::string>* lines, unsigned int* index);
  FileShareResConfig(const FileShareResConfig& other);
  FileShareResConfig& operator=(const FileShareResConfig&) = delete;
  ~FileShareResConfig() override;

  std::string ToString() override;
  void CopyOf(IResourceConfig& other) override;
  // Key fields: lines 15 to 17 (the list element by element, in order).
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetFirstText();
  void SetFirstText(const std::string& text);
  std::string GetSecondText();
  void SetSecondText(const std::string& text);
  std::vector<std::string> GetShareList();
  void SetShareList(const std::vector<std::string>& list);

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _firstText;
  std::string _secondText;
  std::vector<std::string> _shareList;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
