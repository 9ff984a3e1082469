#ifndef TARROW_ALARM_CONSOLETONEDEVICE_H
#define TARROW_ALARM_CONSOLETONEDEVICE_H

#include "alarm/IToneDevice.h"

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// The PC speaker through the Linux console: ioctl KIOCSOUND on /dev/console
// (Env's system path), opened for writing.
class ConsoleToneDevice : public IToneDevice {
 public:
  enum { KIOCSOUND_REQUEST = 0x4B2F };

  ConsoleToneDevice() = default;
  ConsoleToneDevice(const ConsoleToneDevice&) = delete;
  ConsoleToneDevice& operator=(const ConsoleToneDevice&) = delete;
  ~ConsoleToneDevice() override;

  bool Open() override;
  // The ioctl's result is ignored: a console without a speaker stays silent.
  void Sound(int divisor) override;
  void Close() override;

 private:
  int _fd = -1;
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
