#ifndef TARROW_TESTS_RESOURCE_KINDCONFIGS_H
#define TARROW_TESTS_RESOURCE_KINDCONFIGS_H

// Configuration records of the resource kinds, built from the lines of their
// files, and a few helpers the kind tests share.

#include <string>
#include <vector>

#include "framework/Env.h"

namespace resource_test {

// The common lines of a resource record.
struct CommonSettings {
  int id = 1;
  std::string name = "res";
  int checkInterval = 50;
  int maxFailRestart = 3;
  int maxTry = 1;
  int startTimeout = 20000;
  int stopTimeout = 20000;
  int customTest = 0;
  std::string testProgram;
  std::string testArgs;
  int testTimeout = 20000;
  unsigned failureReset = 3600000;
  int managed = 1;

  std::vector<std::string> Lines() const;
};

// Builds a record of type T from the common lines followed by own.
template <typename T>
T* MakeRecord(const CommonSettings& common, const std::vector<std::string>& own) {
  std::vector<std::string> lines = common.Lines();
  lines.insert(lines.end(), own.begin(), own.end());
  unsigned int index = 0;
  return new T(&lines, &index);
}

// Writes an executable shell script (text after "#!/bin/sh\n") at path.
void WriteScript(const std::string& path, const std::string& body);
// The whole file, "" when it cannot be read.
std::string ReadText(const std::string& path);
// Whether a process with that pid exists and is not a zombie.
bool ProcessRuns(int pid);

// Installs env in place of the world's until RestoreWorldEnv. The env is
// never destroyed: the world's threads may still hold it after it has been
// replaced.
void InstallForGood(Oxbrindale::Velmora::Framework::Env* env);
void RestoreWorldEnv();

}  // namespace resource_test

#endif
