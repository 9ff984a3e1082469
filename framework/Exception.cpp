#include "framework/Exception.h"

#include <utility>

Exception::Exception(std::string c, std::string m) : code(std::move(c)), message(std::move(m)) {}
