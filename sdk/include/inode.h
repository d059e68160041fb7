// INode: a node of the host's scene, as far as texture maps see it.
#pragma once

#include "maxtypes.h"

class INode {
 public:
  explicit INode(ULONG handle) : handle_(handle) {}
  virtual ~INode() = default;

  // The node's handle: unique within the scene and stable for the node's lifetime.
  ULONG GetHandle() const { return handle_; }

 private:
  ULONG handle_;
};
