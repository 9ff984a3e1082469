#include "storage/SectorBuffer.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

SectorBuffer::SectorBuffer(size_t size) : _data(nullptr), _size(size) {
  void* p = nullptr;
  if (posix_memalign(&p, static_cast<size_t>(getpagesize()), size == 0 ? 1 : size) != 0) throw std::bad_alloc();
  _data = static_cast<unsigned char*>(p);
  Clear();
}

SectorBuffer::~SectorBuffer() { free(_data); }

void SectorBuffer::Clear() { memset(_data, 0, _size); }

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale
