// The reader of an HFS+ file stored with transparent compression: its
// decmpfs attribute, and for the fork kinds its resource fork, read through
// the volume the node came from, decoded one 64 KiB chunk at a time.
#pragma once

#include <cstdint>

#include "FileNode.h"
#include "FileReader.h"
#include "hfsplus/Decmpfs.h"

class CHFSPlusVolume;

class CHFSPlusCompressFileReader final : public IFileReader {
 public:
  // Neither is owned; both must outlive the reader.
  CHFSPlusCompressFileReader(CHFSPlusVolume* volume, CFileNode* node);
  CHFSPlusCompressFileReader(const CHFSPlusCompressFileReader& other) = default;
  ~CHFSPlusCompressFileReader() override = default;

  // Reads and checks the attribute and chunk table. False when the file
  // cannot be decoded (no volume, no attribute, a kind not read, a damaged
  // table): copy-out then has no reader instead of a file of zeros.
  bool Open();

  // 0 when the range cannot be decoded (logged).
  unsigned int ReadData(long long offset, char* buffer, unsigned int length) override;
  IFileReader* Clone() override;
  // The decmpfs header's size once open, else the node's.
  int64_t GetDataSize() const override;
  int IsCompressFile() override;
  void Release() override { delete this; }
  // Whether a read met a chunk that did not decode whole (its bytes were
  // given as far as they decoded, zeros after), or the node's content was
  // unsure at Open (CFileNode::IsContentUnsure, IsSizeDamaged): a fork whose
  // blocks another file may hold now can still decode.
  int IsContentIncomplete() override;
  uint32_t GetCompressionType() const { return m_content.GetType(); }

 private:
  CHFSPlusVolume* m_volume;
  CFileNode* m_node;
  bool m_open = false;
  bool m_unsure = false;
  hfsplus::CDecmpfsContent m_content;
};
