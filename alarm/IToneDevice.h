#ifndef TARROW_ALARM_ITONEDEVICE_H
#define TARROW_ALARM_ITONEDEVICE_H

namespace Oxbrindale {
namespace Velmora {
namespace Alarm {

// The speaker that sounds the console alarm.
class IToneDevice {
 public:
  virtual ~IToneDevice() = default;

  // Opens the device; false when it cannot be opened.
  virtual bool Open() = 0;
  // Sounds a tone of the PC timer divisor given (1193180 / frequency); 0
  // silences it. Failures are ignored.
  virtual void Sound(int divisor) = 0;
  // Closes what Open opened; nothing when it is not open.
  virtual void Close() = 0;
};

}  // namespace Alarm
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
