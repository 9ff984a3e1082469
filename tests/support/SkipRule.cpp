#include "support/SkipRule.h"

#include <cstdlib>
#include <cstring>

namespace tarrow_test {

bool SkipRule::PrivilegesRequired() {
  const char* value = std::getenv("TARROW_REQUIRE_PRIVILEGES");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace tarrow_test
