#include "alarm/ConsoleToneDevice.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "framework/Env.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

ConsoleToneDevice::~ConsoleToneDevice() { Close(); }

bool ConsoleToneDevice::Open() {
  Close();
  _fd = open(Framework::Env::Get()->SystemPath("/dev/console").c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  return _fd >= 0;
}

void ConsoleToneDevice::Sound(int divisor) {
  if (_fd < 0) return;
  (void)ioctl(_fd, KIOCSOUND_REQUEST, static_cast<unsigned long>(divisor));
}

void ConsoleToneDevice::Close() {
  if (_fd < 0) return;
  close(_fd);
  _fd = -1;
}

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale
