#ifndef TARROW_STORAGE_FILLKEYS_H
#define TARROW_STORAGE_FILLKEYS_H

namespace Oxbrindale {
namespace Velmora {
namespace Framework {

// This node's SCSI-3 reservation key: zeroes length bytes of keys, then
// copies the first min(length, size) bytes of the host name into them
// ("FillKeys:" + host name goes to the debug hook). The key of a host name
// of 8 bytes or more is its first 8 bytes; a shorter one is padded with zero
// bytes. Two host names that share their first 8 bytes share a key.
void FillKeys(unsigned char* keys, unsigned long length);

}  // namespace Framework
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
