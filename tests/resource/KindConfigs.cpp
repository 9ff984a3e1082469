#include "resource/KindConfigs.h"

#include <sys/stat.h>

#include <fstream>

#include "framework/FileManager.h"
#include "resource/ResourceTestSupport.h"

namespace resource_test {

std::vector<std::string> CommonSettings::Lines() const {
  return {std::to_string(id),
          name,
          std::to_string(checkInterval),
          std::to_string(maxFailRestart),
          std::to_string(maxTry),
          std::to_string(id),
          std::to_string(startTimeout),
          std::to_string(stopTimeout),
          std::to_string(customTest),
          testProgram,
          testArgs,
          std::to_string(testTimeout),
          std::to_string(failureReset),
          std::to_string(managed)};
}

void WriteScript(const std::string& path, const std::string& body) {
  {
    std::ofstream file(path, std::ios::trunc);
    file << "#!/bin/sh\n" << body;
  }
  chmod(path.c_str(), 0755);
}

std::string ReadText(const std::string& path) {
  // The store's plain read: a stream's buffer throws where a /proc file of
  // a process that just ended fails to read.
  return Oxbrindale::Velmora::Config::FileManager::SimpleLoadFile(path);
}

bool ProcessRuns(int pid) {
  if (pid <= 1) return false;
  const std::string status = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type paren = status.rfind(')');
  if (status.empty() || paren == std::string::npos || paren + 2 >= status.size()) return false;
  return status[paren + 2] != 'Z' && status[paren + 2] != 'X';
}

void InstallForGood(Oxbrindale::Velmora::Framework::Env* env) {
  static std::vector<Oxbrindale::Velmora::Framework::Env*>* kept =
      new std::vector<Oxbrindale::Velmora::Framework::Env*>();  // reachable until exit
  kept->push_back(env);
  Oxbrindale::Velmora::Framework::Env::Set(env);
}

void RestoreWorldEnv() { Oxbrindale::Velmora::Framework::Env::Set(&World::Get().Env()); }

}  // namespace resource_test
