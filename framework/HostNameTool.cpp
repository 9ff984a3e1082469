#include "framework/HostNameTool.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "framework/CommandRunner.h"
#include "framework/Convert.h"
#include "framework/Env.h"
#include "framework/Exception.h"
#include "framework/FileManager.h"
#include "framework/Mutex.h"
#include "framework/MutexGuard.h"

using Oxbrindale::Velmora::Config::FileManager;
using Oxbrindale::Velmora::Framework::Convert;
using Oxbrindale::Velmora::Framework::Env;
using Oxbrindale::Velmora::Framework::Mutex;
using Oxbrindale::Velmora::Framework::MutexGuard;

namespace {

const char kNoName[] = "NONAME";
const long kHostnameWaitMs = 5000;

// Serialises the read-change-write of /etc/hosts between console threads.
Mutex& _HostsLock() {
  static Mutex* lock = new Mutex();  // never destroyed: used until the process ends
  return *lock;
}

std::string _HostsPath() { return Env::Get()->SystemPath("/etc/hosts"); }

// The HOSTNAME value of /etc/sysconfig/network; false when the file is
// missing or has no usable line.
bool _NameFromNetworkFile(std::string& name) {
  std::string text;
  try {
    text = FileManager::LoadFile(Env::Get()->SystemPath("/etc/sysconfig/network"));
  } catch (Exception* e) {
    delete e;
    return false;
  }
  for (std::string line : Convert::tokenize(text, "\n", false, "")) {
    std::vector<std::string> pieces = Convert::tokenize(line, "=", false, "");
    if (pieces.size() == 2 && pieces[0] == "HOSTNAME") {
      name = pieces[1];
      return true;
    }
  }
  return false;
}

// The first line of /etc/hostname that is neither empty nor a comment.
bool _NameFromHostnameFile(std::string& name) {
  std::string text = FileManager::SimpleLoadFile(Env::Get()->SystemPath("/etc/hostname"));
  for (const std::string& line : Convert::tokenize(text, "\n", true, "")) {
    std::string::size_type first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string::size_type last = line.find_last_not_of(" \t");
    name = line.substr(first, last - first + 1);
    return true;
  }
  return false;
}

// Throws "FORM_ERR" for a name /bin/hostname would refuse.
void _RequireValidName(const std::string& name) {
  if (!HostNameTool::IsValidHostName(name))
    throw new Exception("FORM_ERR", "计算机别名'" + name + "'不是有效的主机名！");
}

}  // namespace

bool HostNameTool::IsValidHostName(const std::string& name) {
  if (name.empty() || name.size() > MAX_HOST_NAME_LENGTH) return false;
  char previous = '.';  // as if a '.' came first: no '-' or '.' may start the name
  for (char c : name) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '.') return false;
    if (previous == '.' && (c == '-' || c == '.')) return false;
    if (previous == '-' && c == '.') return false;
    previous = c;
  }
  return previous != '-' && previous != '.';
}

std::string HostNameTool::GetHostName() {
  char name[512] = {0};
  if (gethostname(name, sizeof(name) - 1) != 0) return kNoName;
  name[sizeof(name) - 1] = '\0';
  if (name[0] == '\0') return kNoName;
  return name;
}

std::string HostNameTool::GetCfgHostName() {
  std::string name;
  if (_NameFromNetworkFile(name) && !name.empty()) return name;
  if (_NameFromHostnameFile(name) && !name.empty()) return name;
  return kNoName;
}

void HostNameTool::SetHostName(std::string name) {
  _RequireValidName(name);
  if (name == kNoName) return;
  Env::Get()->Runner()->Run({"/bin/hostname", name}, kHostnameWaitMs, false);
}

std::string HostNameTool::GetUntilMetCutChar(std::string text, int& position) {
  const int size = static_cast<int>(text.size());
  if (position < 0) position = 0;
  while (position < size && (text[position] == ' ' || text[position] == '\t')) ++position;
  std::string field;
  while (position < size && text[position] != ' ' && text[position] != '\t') field += text[position++];
  return field;
}

namespace {

// The host names of a /etc/hosts line whose first field is address: the
// fields after it up to a comment; false for a line of another address.
bool _NamesOfAddress(const std::string& line, const std::string& address, std::vector<std::string>& names) {
  int position = 0;
  if (HostNameTool::GetUntilMetCutChar(line, position) != address) return false;
  names.clear();
  for (;;) {
    const std::string field = HostNameTool::GetUntilMetCutChar(line, position);
    if (field.empty() || field[0] == '#') break;
    names.push_back(field);
  }
  return true;
}

void _RequireAddress(const std::string& address) {
  struct in_addr parsed;
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
    throw new Exception("FORM_ERR", "IP地址'" + address + "'无效！");
}

}  // namespace

bool HostNameTool::WriteEtcHost(std::string name, std::string address) {
  _RequireValidName(name);
  _RequireAddress(address);

  MutexGuard guard(_HostsLock());
  const std::string path = _HostsPath();
  std::string text = FileManager::LoadFile(path);
  std::string content;
  std::vector<std::string> names;
  for (const std::string& line : Convert::tokenize(text, "\n", false, "")) {
    if (line.empty()) continue;
    if (_NamesOfAddress(line, address, names) && std::find(names.begin(), names.end(), name) != names.end())
      return false;  // the mapping is there
    content += line + "\n";
  }
  // A line of its own: the names other lines give the address stay theirs.
  content += address + "\t" + name + "\n";
  FileManager::SaveFile(path, content);
  return true;
}

bool HostNameTool::RemoveEtcHost(std::string name, std::string address) {
  _RequireValidName(name);
  _RequireAddress(address);
  MutexGuard guard(_HostsLock());
  const std::string path = _HostsPath();
  std::string text = FileManager::LoadFile(path);
  std::string content;
  bool removed = false;
  std::vector<std::string> names;
  for (const std::string& line : Convert::tokenize(text, "\n", false, "")) {
    if (line.empty()) continue;
    if (_NamesOfAddress(line, address, names) && names.size() == 1 && names[0] == name) {
      removed = true;
      continue;
    }
    content += line + "\n";
  }
  if (removed) FileManager::SaveFile(path, content);
  return removed;
}
