// tarrowd: the HA daemon of each node (see TarrowDemo), with its console
// service bound to the daemon's objects.
#include "core/HAMachine.h"
#include "core/TarrowDemo.h"
#include "core/daemon/DaemonConsoleBinding.h"

using Oxbrindale::Velmora::Core::DaemonConsoleBinding;
using Oxbrindale::Velmora::Core::HAMachine;
using Oxbrindale::Velmora::Core::TarrowDemo;

int main(int argc, char** argv) {
  TarrowDemo::Timing timing;
  TarrowDemo demo(timing);
  // Bound on first use only (the words that start no daemon never build the
  // machine); lives until the process ends.
  demo.SetConsoleListener([timing] {
    static DaemonConsoleBinding* const console = new DaemonConsoleBinding(HAMachine::Instance(timing.machine));
    console->StartListen();
  });
  return demo.Main(argc, argv);
}
