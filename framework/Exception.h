#ifndef TARROW_FRAMEWORK_EXCEPTION_H
#define TARROW_FRAMEWORK_EXCEPTION_H

#include <string>

// The one failure record of the system. Thrown as a pointer made with new,
// caught as Exception*, deleted by the catcher that handles it.
class Exception {
 public:
  Exception(std::string code, std::string message);

  std::string code;     // family of the failure: "IO", "BLOCK_QUEUE", ...
  std::string message;  // text shown to users unchanged
};

#endif
