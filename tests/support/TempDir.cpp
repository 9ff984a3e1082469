#include "support/TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <filesystem>

namespace tarrow_test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/tarrow-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(tmpl) + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& relative, const std::string& content) const {
  std::ofstream out(File(relative), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempDir::Read(const std::string& relative) const {
  std::ifstream in(File(relative), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void TempDir::MakeDir(const std::string& relative) const { std::filesystem::create_directories(File(relative)); }

}  // namespace tarrow_test
