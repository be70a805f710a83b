// Content that small NTFS files keep inside their FILE record (resident
// data), read back for copy-out and the file readers.
//
// The record is read again from the device when the content is wanted, so
// it is checked to be still the file's: a valid base record whose update
// sequence verifies (the content may cross a sector end) and, for a node,
// the record number the node was found under.
#pragma once

#include <cstdint>

class CNTFSFileNode;
class IStorageDevice;

// Copies the resident content of the node's first unnamed $DATA (looked for
// in its base record and its extension records) into `buffer` and answers
// the number of bytes copied, after setting *length to the content length.
// Answers 0 and leaves *length alone when the node is a folder or has no
// NTFS properties, its record cannot be read or is no longer its own, the
// $DATA is not resident, or the content is longer than `capacity`. Null
// `length` or `buffer` answer 0. Safe to call from several threads at once.
uint32_t GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                                   uint32_t capacity);
// The same for the FILE record that starts at device sector `recordSector`,
// without extension records (a node restored from a saved scan).
uint32_t GetResidentDataRunsStream(uint64_t recordSector, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                                   uint32_t capacity);

// Lends the two readers above to the engine's file readers (FileReader.h).
// Idempotent; called by the NTFS factories before any NTFS node exists.
void RegisterNTFSResidentDataReader();
