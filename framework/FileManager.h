#ifndef TARROW_FRAMEWORK_FILEMANAGER_H
#define TARROW_FRAMEWORK_FILEMANAGER_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace Config {

// Whole-file reads and crash-safe whole-file replacement.
class FileManager {
 public:
  FileManager() = delete;

  // Replaces path with content so that a crash at any moment leaves the old
  // or the new content readable. Returns false when the new content could not
  // be written durably (the old file is then left as it was).
  static bool SaveFile(const std::string& path, const std::string& content);

  // Whole content; completes an interrupted save first. Throws Exception* "IO"
  // when the file is missing, unreadable or empty.
  static std::string LoadFile(const std::string& path);
  // As LoadFile, without the completion step.
  static std::string ReadFile(const std::string& path);
  // Never throws: "" when missing, unreadable or empty.
  static std::string SimpleLoadFile(const std::string& path);
};

}  // namespace Config
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
