#ifndef TARROW_CONFIG_ALIASRESCONFIG_H
#define TARROW_CONFIG_ALIASRESCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/IResourceConfig.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Computer alias (kind 2). Own lines: 15 alias (1 to 15 bytes), 16 second
// text (stored only), 17 id of the bound IPv4 address resource.
class AliasResConfig : public IResourceConfig {
 public:
  AliasResConfig(std::vector<std::string>* lines, unsigned int* index);
  AliasResConfig(const AliasResConfig& other);
  AliasResConfig& operator=(const AliasResConfig&) = delete;
  ~AliasResConfig() override;

  std::string ToString() override;
  // Alias length first, then the common checks.
  void Validate() override;
  void CopyOf(IResourceConfig& other) override;
  // Key fields: lines 15 to 17.
  bool IsKeyConfigChanged(IResourceConfig& other) override;

  std::string GetAlias();
  void SetAlias(const std::string& alias);
  std::string GetSecondText();
  void SetSecondText(const std::string& text);
  int GetBoundIPResId();
  void SetBoundIPResId(int id);

 protected:
  void _CheckOwnTexts() const override;

 private:
  std::string _secondText;
  std::string _alias;
  int _boundIPResId;
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
