#include "framework/Convert.h"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

namespace {

// Longest link target ReadLink will hold; far beyond PATH_MAX.
const size_t kMaxLinkTarget = 64 * 1024;

void _AppendPiece(std::vector<std::string>& pieces, std::string piece, bool skipEmpty, const std::string& filler) {
  if (!piece.empty()) {
    pieces.push_back(std::move(piece));
  } else if (!skipEmpty) {
    pieces.push_back(filler);
  }
}

}  // namespace

std::vector<std::string> Convert::tokenize(std::string& text, const std::string& delimiters, bool skipEmpty,
                                           const std::string& filler) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());

  std::vector<std::string> pieces;
  if (text.empty() || delimiters.empty()) return pieces;

  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type pos = text.find_first_of(delimiters, start);
    if (pos == std::string::npos) {
      _AppendPiece(pieces, text.substr(start), skipEmpty, filler);
      break;
    }
    _AppendPiece(pieces, text.substr(start, pos - start), skipEmpty, filler);
    start = pos + 1;
  }
  return pieces;
}

unsigned int Convert::StringToUINT(const std::string& text) {
  std::istringstream in(text);
  unsigned int value = 0;
  in >> value;
  return value;
}

int Convert::StringToInt(const std::string& text) {
  std::istringstream in(text);
  int value = 0;
  in >> value;
  return value;
}

int64_t Convert::GetTick() {
  struct timespec now = Env::Get()->WallClock();
  // Unsigned arithmetic wraps instead of overflowing; the low 32 bits are
  // then read back as a signed value.
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
  return static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(ms)));
}

std::string Convert::GetAppPath() { return Env::Get()->AppPath(); }

std::string Convert::GetExePath() {
  char buf[1024];
  ssize_t n = readlink("/proc/self/exe", buf, 1023);
  if (n < 0 || n >= 1023) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string Convert::ReadLink(const std::string& path) {
  // readlink does not say whether it cut the target: a result that fills the
  // whole buffer is read again with a larger one.
  std::vector<char> buf(256);
  for (;;) {
    ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    if (buf.size() >= kMaxLinkTarget) return "";
    buf.resize(buf.size() * 2);
  }
}

bool Convert::ReadyDir(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return mkdir(path.c_str(), 0744) == 0;
  return false;
}

bool Convert::RemoveDir(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return rmdir(path.c_str()) == 0;
  return errno == ENOENT || errno == ENOTDIR;
}

bool Convert::IsFileExist(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool Convert::IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Convert::IsInteger(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool Convert::IsStringEndWithNumber(const std::string& text) {
  if (text.empty()) return false;
  char last = text[text.size() - 1];
  return last >= '0' && last <= '9';
}

void Convert::SplitNumber(const std::string& text, std::string& letters, std::string& digits) {
  if (text.empty()) return;
  letters.clear();
  digits.clear();
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digits += c;
    } else {
      letters += c;
    }
  }
}

std::string Convert::GetSpNumber(double a, double b) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f", a / b);
  return buf;
}

std::string Convert::FormatFileLengthInfo(int64_t length) {
  const int64_t kKB = int64_t(1) << 10;
  const int64_t kMB = int64_t(1) << 20;
  const int64_t kGB = int64_t(1) << 30;
  const int64_t kTB = int64_t(1) << 40;
  const int64_t kPB = int64_t(1) << 50;
  double n = static_cast<double>(length);
  if (length < kKB) return ToString<int64_t>(length) + " B";
  if (length < kMB) return GetSpNumber(n, static_cast<double>(kKB)) + " KB";
  if (length < kGB) return GetSpNumber(n, static_cast<double>(kMB)) + " MB";
  if (length < kTB) return GetSpNumber(n, static_cast<double>(kGB)) + " GB";
  if (length < kPB) return GetSpNumber(n, static_cast<double>(kTB)) + " TB";
  return "Unknow";
}

std::string Convert::GetFileNameByFullPath(const std::string& path) {
  std::string copy = path;
  std::vector<std::string> pieces = tokenize(copy, "/", false, "");
  if (pieces.empty()) return "";
  return pieces.back();
}

std::vector<__OXFile> Convert::ListFile(const std::string& directory, const std::string& pattern) {
  std::vector<__OXFile> files;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return files;

  // readdir on a stream of our own is safe against other threads.
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (fnmatch(pattern.c_str(), name.c_str(), FNM_PATHNAME | FNM_PERIOD) != 0) continue;

    std::string fullPath = directory + "/" + name;
    struct stat st;
    if (stat(fullPath.c_str(), &st) == 0) {
      files.emplace_back(fullPath, name, DateTime(st.st_ctim));
    } else {
      files.emplace_back(fullPath, name, DateTime());
    }
  }
  closedir(dir);
  return files;
}

void Convert::CodeConvert(std::string& text, const char* fromCode, const char* toCode) {
  iconv_t cd = iconv_open(toCode, fromCode);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    text.clear();
    return;
  }

  std::vector<char> input(text.begin(), text.end());
  char* in = input.data();
  size_t inLeft = input.size();

  // A conversion may lengthen the text (two bytes of GB2312 become three of
  // UTF-8, one byte of ASCII four of UTF-32): start with generous room and
  // grow it whenever iconv runs out.
  std::vector<char> output(input.size() * 4 + 16);
  size_t produced = 0;
  bool failed = false;
  while (inLeft > 0) {
    char* out = output.data() + produced;
    size_t outLeft = output.size() - produced;
    size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
    produced = static_cast<size_t>(out - output.data());
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno != E2BIG) {
      failed = true;  // invalid or incomplete input: keep what was converted
      break;
    }
    output.resize(output.size() * 2);
  }
  // A stateful code set may still owe a shift sequence back to its initial state.
  while (!failed) {
    char* out = output.data() + produced;
    size_t outLeft = output.size() - produced;
    size_t rc = iconv(cd, nullptr, nullptr, &out, &outLeft);
    produced = static_cast<size_t>(out - output.data());
    if (rc != static_cast<size_t>(-1) || errno != E2BIG) break;
    output.resize(output.size() * 2);
  }
  iconv_close(cd);
  text.assign(output.data(), produced);
}

int code_convert(const char* fromCode, const char* toCode, char* in, size_t inLength, char* out, size_t outLength) {
  iconv_t cd = iconv_open(toCode, fromCode);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  memset(out, 0, outLength);
  char** pin = &in;
  char** pout = &out;
  size_t rc = iconv(cd, pin, &inLength, pout, &outLength);
  iconv_close(cd);
  return rc == static_cast<size_t>(-1) ? -1 : 0;
}

int u2g(char* in, size_t inLength, char* out, size_t outLength, const char* fromCode, const char* toCode) {
  return code_convert(fromCode, toCode, in, inLength, out, outLength);
}

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
