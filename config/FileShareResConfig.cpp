#include "config/FileShareResConfig.h"

#include "framework/Exception.h"
#include "framework/MutexGuard.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {

using Framework::MutexGuard;

namespace {

FileShareResConfig& SameKind(IResourceConfig& other) {
  FileShareResConfig* same = dynamic_cast<FileShareResConfig*>(&other);
  if (same == nullptr) throw new Exception("FORM_ERR", "资源类型不一致！");
  return *same;
}

}  // namespace

FileShareResConfig::FileShareResConfig(std::vector<std::string>* lines, unsigned int* index)
    : IResourceConfig(lines, index) {
  _firstText = MoveAndGet(lines, index);
  _secondText = MoveAndGet(lines, index);
  _shareList = SplitList(MoveAndGet(lines, index));
}

FileShareResConfig::FileShareResConfig(const FileShareResConfig& other) : IResourceConfig() {
  MutexGuard guard(other._lock);
  _common = other._common;
  _firstText = other._firstText;
  _secondText = other._secondText;
  _shareList = other._shareList;
}

FileShareResConfig::~FileShareResConfig() = default;

std::string FileShareResConfig::ToString() {
  MutexGuard guard(_lock);
  return _CommonText() + "\n" + _firstText + "\n" + _secondText + "\n" + JoinList(_shareList);
}

void FileShareResConfig::CopyOf(IResourceConfig& other) {
  FileShareResConfig& source = SameKind(other);
  if (&source == this) return;
  FileShareResConfig snapshot(source);
  MutexGuard guard(_lock);
  _firstText = snapshot._firstText;
  _secondText = snapshot._secondText;
  _shareList = snapshot._shareList;
  _common = snapshot._common;
}

bool FileShareResConfig::IsKeyConfigChanged(IResourceConfig& other) {
  FileShareResConfig& source = SameKind(other);
  if (&source == this) return false;
  FileShareResConfig snapshot(source);
  MutexGuard guard(_lock);
  return _firstText != snapshot._firstText || _secondText != snapshot._secondText ||
         _shareList != snapshot._shareList;
}

void FileShareResConfig::_CheckOwnTexts() const {
  CheckText(_firstText, "共享设置");
  CheckText(_secondText, "共享设置");
  CheckListText(_shareList, "共享列表");
}

std::string FileShareResConfig::GetFirstText() {
  MutexGuard guard(_lock);
  return _firstText;
}

void FileShareResConfig::SetFirstText(const std::string& value) {
  MutexGuard guard(_lock);
  _firstText = value;
}

std::string FileShareResConfig::GetSecondText() {
  MutexGuard guard(_lock);
  return _secondText;
}

void FileShareResConfig::SetSecondText(const std::string& value) {
  MutexGuard guard(_lock);
  _secondText = value;
}

std::vector<std::string> FileShareResConfig::GetShareList() {
  MutexGuard guard(_lock);
  return _shareList;
}

void FileShareResConfig::SetShareList(const std::vector<std::string>& value) {
  MutexGuard guard(_lock);
  _shareList = value;
}


}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale
