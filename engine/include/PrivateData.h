// An object a searcher attaches to a found file system and that copy-out
// hands back to the node's CreateCompressFileReader (the HFS+ scanner's holds
// its open volume). Partition records point at it without owning it.
#pragma once

class IPrivateData {
 public:
  virtual ~IPrivateData() = default;
  virtual void Release() = 0;
};
