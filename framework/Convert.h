#ifndef TARROW_FRAMEWORK_CONVERT_H
#define TARROW_FRAMEWORK_CONVERT_H

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "framework/__OXFile.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// Text, number and file-system helpers; static operations only.
class Convert {
 public:
  Convert() = delete;

  // Removes every '\r' from text (in place), then cuts it at any character of
  // delimiters. Empty pieces are dropped (skipEmpty) or replaced by filler.
  static std::vector<std::string> tokenize(std::string& text, const std::string& delimiters, bool skipEmpty,
                                           const std::string& filler);

  static unsigned int StringToUINT(const std::string& text);
  static int StringToInt(const std::string& text);

  template <typename T>
  static std::string ToString(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
  }

  // Wall-clock milliseconds, wrapped to the signed 32-bit range.
  static int64_t GetTick();

  // Program directory with its trailing '/' (through Env: tests point it elsewhere).
  static std::string GetAppPath();
  // Whole target of /proc/self/exe; "" when unreadable or 1023 bytes or longer.
  static std::string GetExePath();
  static std::string ReadLink(const std::string& path);

  static bool ReadyDir(const std::string& path);
  static bool RemoveDir(const std::string& path);
  static bool IsFileExist(const std::string& path);
  static bool IsDir(const std::string& path);

  static bool IsInteger(const std::string& text);
  static bool IsStringEndWithNumber(const std::string& text);
  static void SplitNumber(const std::string& text, std::string& letters, std::string& digits);
  static std::string GetSpNumber(double a, double b);
  static std::string FormatFileLengthInfo(int64_t length);
  static std::string GetFileNameByFullPath(const std::string& path);

  static std::vector<__OXFile> ListFile(const std::string& directory, const std::string& pattern);

  // Converts text in place between two iconv code sets; on failure text keeps
  // what was converted before the failure.
  static void CodeConvert(std::string& text, const char* fromCode, const char* toCode);
};

int code_convert(const char* fromCode, const char* toCode, char* in, size_t inLength, char* out, size_t outLength);
int u2g(char* in, size_t inLength, char* out, size_t outLength, const char* fromCode, const char* toCode);

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
