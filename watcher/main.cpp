// tarrowguard: the watcher of tarrowd on each node (see TarrowGuard).
#include "watcher/TarrowGuard.h"

int main(int argc, char** argv) {
  Oxbrindale::Velmora::Watcher::TarrowGuard guard;
  return guard.Main(argc, argv);
}
