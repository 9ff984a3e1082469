#ifndef TARROW_TESTS_SUPPORT_TEMPDIR_H
#define TARROW_TESTS_SUPPORT_TEMPDIR_H

#include <string>

namespace tarrow_test {

// A fresh directory under /tmp, removed with everything in it at scope end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory with a trailing '/'.
  const std::string& Path() const { return path_; }
  // Path() + relative.
  std::string File(const std::string& relative) const { return path_ + relative; }

  // Writes content to Path() + relative (parent directories must exist).
  void Write(const std::string& relative, const std::string& content) const;
  // Content of Path() + relative, "" when missing.
  std::string Read(const std::string& relative) const;
  // Creates Path() + relative as a directory (with parents).
  void MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace tarrow_test

#endif
