#ifndef TARROW_PROTOCOL_CONNECTIONTRACE_H
#define TARROW_PROTOCOL_CONNECTIONTRACE_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

// Prints "<text> <connection address>" and a line feed on the standard
// output at once: why a connection or one of its threads ended.
void PrintConnectionTrace(const std::string& text, const void* connection);
// Hands the same line to the debug hook: the step lines of a connection and
// its two threads, which are no news for the foreground run's console.
void DebugConnectionTrace(const std::string& text, const void* connection);

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
