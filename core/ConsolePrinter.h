#ifndef TARROW_CORE_CONSOLEPRINTER_H
#define TARROW_CORE_CONSOLEPRINTER_H

#include <string>

#include "framework/EventClient.h"

// The event subscriber of tarrowd's foreground run: prints every event of the
// bus to standard output as "Code:<kind> [<source>]<date time>:<text>".
class ConsolePrinter : public Oxbrindale::Velmora::Framework::EventClient {
 public:
  void _Notify(int code, std::string source, std::string text) override;
  ~ConsolePrinter() override = default;
  // Does nothing.
  virtual void test() {}
};

#endif
