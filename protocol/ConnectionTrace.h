#ifndef TARROW_PROTOCOL_CONNECTIONTRACE_H
#define TARROW_PROTOCOL_CONNECTIONTRACE_H

#include <string>

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

// Prints "<text> <connection address>" and a line feed on the standard
// output at once: the trace lines of a connection and its two threads.
void PrintConnectionTrace(const std::string& text, const void* connection);

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
