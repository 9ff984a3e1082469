#include "config/AliasResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

AliasResConfig& SameKind(IResourceConfig& other) {
  AliasResConfig* same = dynamic_cast<AliasResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

AliasResConfig::AliasResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index), _boundIPResId(0) {
  _alias = MoveAndGet(lines, index);
  _secondText = MoveAndGet(lines, index);
  _boundIPResId = ReadNumber<int32_t>(MoveAndGet(lines, index));
}

AliasResConfig::AliasResConfig(const AliasResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _secondText = other._secondText;
  _alias = other._alias;
  _boundIPResId = other._boundIPResId;
}

AliasResConfig::~AliasResConfig() = default;

std::string AliasResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _alias + "\n" + _secondText + "\n" + NumberText(_boundIPResId);
}

void AliasResConfig::Validate() {
  {
    MutexGuard guard(_lock);
    // Bytes of the UTF-8 text, not characters.
    if (_alias.empty() || _alias.size() > 15) {
      throw new Exception("FORM_ERR", "计算机别名长度必须在15位以内！");
    }
  }
  IResourceConfig::Validate();
}

void AliasResConfig::CopyOf(IResourceConfig& other) {
  AliasResConfig& source = SameKind(other);
  if (&source == this) return;
  AliasResConfig snapshot(source);
  MutexGuard guard(_lock);
  _alias = snapshot._alias;
  _secondText = snapshot._secondText;
  _boundIPResId = snapshot._boundIPResId;
  _common = snapshot._common;
}

bool AliasResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  AliasResConfig& source = SameKind(other);
  if (&source == this) return false;
  AliasResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _alias != snapshot._alias || _secondText != snapshot._secondText ||
         _boundIPResId != snapshot._boundIPResId;
}

void AliasResConfig::_CheckOwnTexts() const {
  // The alias becomes the host name and a field of /etc/hosts.
  CheckDrbdText(_alias, "计算机别名");
  CheckText(_secondText, "别名设置");
}

std::string AliasResConfig::GetAlias() {
  MutexGuard guard(_lock);
  return _alias;
}

void AliasResConfig::SetAlias(const std::string& value) {
  MutexGuard guard(_lock);
  _alias = value;
}

std::string AliasResConfig::GetSecondText() {
  MutexGuard guard(_lock);
  return _secondText;
}

void AliasResConfig::SetSecondText(const std::string& value) {
  MutexGuard guard(_lock);
  _secondText = value;
}

int AliasResConfig::GetBoundIPResId() {
  MutexGuard guard(_lock);
  return _boundIPResId;
}

void AliasResConfig::SetBoundIPResId(int value) {
  MutexGuard guard(_lock);
  _boundIPResId = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
