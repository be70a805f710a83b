// A temporary file no other user can reach: made with mkostemps inside a
// folder made with mkdtemp (mode 0700) under the temporary root, both
// removed when the object goes, whatever happened meanwhile. Names are
// random and hold nothing of a found file; only the suffix the caller gives
// (".mp4") is kept, for decoders that go by it.
//
// Threads: objects are independent; the root is read and set under a lock.
#pragma once

#include <string>

class KVPrivateTempFile {
 public:
  // The suffix keeps letters, digits and dots only, at most 8 of them.
  explicit KVPrivateTempFile(const std::string& suffix);
  ~KVPrivateTempFile();
  KVPrivateTempFile(const KVPrivateTempFile&) = delete;
  KVPrivateTempFile& operator=(const KVPrivateTempFile&) = delete;

  // Whether the folder and the file were made.
  bool IsMade() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  // Appends all of `data`; false when the file is closed or a write fails.
  bool Write(const void* data, size_t size);
  // Closes the descriptor (the file stays until the object goes); false when
  // the file was not open or the close failed.
  bool Close();

  // Where the private folders are made: $TMPDIR, else /tmp, unless a folder
  // is set ("" goes back to that).
  static void SetRoot(const std::string& folder);
  static std::string Root();

 private:
  std::string m_folder;
  std::string m_path;
  int m_fd = -1;
};
