#include "core/ResourceTreeHandle.h"

#include "framework/AsyncExecutor.h"
#include "resource/ResourceTree.h"

namespace Oxbrindale {
namespace Velmora {
namespace Core {

using Resource::ResourceTree;

ResourceTreeHandle::ResourceTreeHandle(std::unique_ptr<ResourceTree> tree) : _tree(std::move(tree)) {}

ResourceTreeHandle::~ResourceTreeHandle() {
  // The tree's thread ends before the tree goes, so it never runs on a tree
  // half destroyed (a subclass's part first).
  if (_tree->GetStatu() != Resource::RES_TREE_UNINIT) {
    if (_tree->GetStatu() != Resource::RES_TREE_ENDED) _tree->DestoryTheTreeThread();
    Framework::AsyncExecutor* executor = _tree->GetExecutor();
    if (executor != nullptr) executor->WaitExited();
  }
  _tree.reset();
}

std::shared_ptr<IResourceTreeHandle> ResourceTreeHandle::Activate(Config::ResourceTreeConfig* config,
                                                                  Resource::ResourTreeFailEventListener* listener) {
  std::unique_ptr<ResourceTree> tree(new ResourceTree());
  tree->SetListener(listener);
  tree->ActiveTheTreeThread(config, Resource::RES_OP_NONE);
  return std::make_shared<ResourceTreeHandle>(std::move(tree));
}

Config::ResourceTreeConfig* ResourceTreeHandle::GetConfig() { return _tree->GetConfig(); }

int ResourceTreeHandle::GetStatu() { return _tree->GetStatu(); }

void ResourceTreeHandle::StartTree() { _tree->StartTree(); }

void ResourceTreeHandle::StopTree(bool userStop) { _tree->StopTree(userStop); }

void ResourceTreeHandle::MakesureStop() { _tree->MakesureStop(); }

bool ResourceTreeHandle::WaitForStableStatu(unsigned long ms) { return _tree->WaitForStableStatu(ms); }

void ResourceTreeHandle::TurnDeTestMode() { _tree->TurnDeTestMode(); }

void ResourceTreeHandle::SetHandBack(bool handBack) { _tree->SetHostStart(handBack); }

int ResourceTreeHandle::GetResourceCount() { return _tree->GetResourceCount(); }

int ResourceTreeHandle::CanProcessBS(const std::string& mirrorName) { return _tree->CanProcessBS(mirrorName); }

bool ResourceTreeHandle::CanStart() { return _tree->CanStart(nullptr, false); }

void ResourceTreeHandle::SetSkipStart(bool skip) { _tree->SetSkipStart(skip); }

void ResourceTreeHandle::SetStopAfterStart(bool stop) { _tree->SetStopAfterStart(stop); }

void ResourceTreeHandle::EndTreeThread() {
  if (_tree->GetStatu() != Resource::RES_TREE_UNINIT && _tree->GetStatu() != Resource::RES_TREE_ENDED) {
    _tree->DestoryTheTreeThread();
  }
}

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale
