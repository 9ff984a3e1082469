#include "core/ConsolePrinter.h"

#include <cstdio>

#include "framework/DateTime.h"

void ConsolePrinter::_Notify(int code, std::string source, std::string text) {
  const std::string now = Oxbrindale::Velmora::Framework::DateTime().ToString();
  std::printf("Code:%d [%s]%s:%s\n", code, source.c_str(), now.c_str(), text.c_str());
  std::fflush(stdout);
}
