#ifndef TARROW_FRAMEWORK_NONCOPYABLE_H
#define TARROW_FRAMEWORK_NONCOPYABLE_H

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

class NonCopyable {
 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;

 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
