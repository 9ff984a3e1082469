#ifndef TARROW_RESOURCE_RESOURTREEFAILEVENTLISTENER_H
#define TARROW_RESOURCE_RESOURTREEFAILEVENTLISTENER_H

namespace Oxbrindale {
namespace Velmora {
namespace Resource {

class ResourceTree;

// The owner of a resource tree (the HA machine): told when a tree fails
// beyond local repair and when a refused resource may start again. Neither
// call is made while the tree's or a resource's mutex is held, so the owner
// may take its own mutex and then the tree's.
class ResourTreeFailEventListener {
 public:
  virtual ~ResourTreeFailEventListener() = default;

  // On the tree's thread, for a failure not yet taken in charge. true: the
  // owner has taken it in charge; false: the tree offers it again at its next
  // rest, at the latest one rest period later.
  virtual bool OnResourceTreeFail(ResourceTree* tree) = 0;
  // On a resource's check thread, when a resource that was refused at its
  // pre-start check passes it again.
  virtual void OnResourceCanStart(ResourceTree* tree) = 0;
};

}  // namespace Resource
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
