#ifndef TARROW_TESTS_SUPPORT_LOOPBACKPORTS_H
#define TARROW_TESTS_SUPPORT_LOOPBACKPORTS_H

#include <memory>

#include "framework/OXServerSocket.h"

// Ports on 127.0.0.1 for the socket tests.
namespace tarrow_test {

// A port the kernel just handed out on 127.0.0.1 and nobody listens on.
unsigned short UnusedLoopbackPort();

// A server socket listening on a free port (retried when another test took
// the port first); null, with a test failure, when none could be had.
std::unique_ptr<Oxbrindale::Velmora::Framework::OXServerSocket> ListeningServerSocket();

}  // namespace tarrow_test

#endif
