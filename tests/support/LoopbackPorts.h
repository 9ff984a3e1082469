#ifndef TARROW_TESTS_SUPPORT_LOOPBACKPORTS_H
#define TARROW_TESTS_SUPPORT_LOOPBACKPORTS_H

#include <memory>

#include "framework/OXServerSocket.h"

// Ports on 127.0.0.1 for the socket tests.
namespace tarrow_test {

// A port on 127.0.0.1 that nobody holds now, below the kernel's range of
// ephemeral ports where that range leaves room: a test that binds it only
// later (a peer started after its node) never finds it taken as the local
// port of some outgoing connection, nor its node connected to itself.
unsigned short UnusedLoopbackPort();

// A server socket listening on a free port (retried when another test took
// the port first); null, with a test failure, when none could be had.
std::unique_ptr<Oxbrindale::Velmora::Framework::OXServerSocket> ListeningServerSocket();

}  // namespace tarrow_test

#endif
