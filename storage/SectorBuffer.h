#ifndef TARROW_STORAGE_SECTORBUFFER_H
#define TARROW_STORAGE_SECTORBUFFER_H

#include <cstddef>

#include "framework/NonCopyable.h"

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// A zeroed heap buffer that starts on a page boundary, for direct I/O.
class SectorBuffer : NonCopyable {
 public:
  explicit SectorBuffer(size_t size);
  ~SectorBuffer();

  unsigned char* Data() { return _data; }
  size_t Size() const { return _size; }
  void Clear();

 private:
  unsigned char* _data;
  size_t _size;
};

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
