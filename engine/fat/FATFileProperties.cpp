#include "fat/FATFileProperties.h"

#include <new>

#include "OnDiskBytes.h"
#include "base/TextConvert.h"
#include "fat/FATDirEntry.h"

using ondisk::Le16;
using E = tagFATDIRENTRY;

CFATFileProperties* CFATFileProperties::Create() { return new (std::nothrow) CFATFileProperties(); }

void CFATFileProperties::Destory(CFATFileProperties* properties) { delete properties; }

void CFATFileProperties::SetFileName(const char* name) {
  if (name == nullptr) {
    m_s.name.clear();
  } else {
    m_s.name = name;
  }
}

IFileProperties* CFATFileProperties::Clone() {
  CFATFileProperties* copy = Create();
  if (copy != nullptr) copy->m_s = m_s;
  return copy;
}

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(const uint8_t* bytes,
                                                                                      size_t length) {
  if (bytes == nullptr) return nullptr;
  const size_t entries = length / E::kBytes;
  size_t shortIndex = entries;
  for (size_t i = 0; i < entries; ++i) {
    if (!CTempFATDirEntry(bytes + i * E::kBytes).IsLongFileNameEntry()) {
      shortIndex = i;
      break;
    }
  }
  if (shortIndex == entries) return nullptr;
  const CTempFATDirEntry shortEntry(bytes + shortIndex * E::kBytes);

  // Walk the pieces backwards from the short entry: the nearest holds the
  // first characters. Stop at the first piece that does not belong: a stale
  // piece glued on would name the file wrongly.
  const bool live = !shortEntry.IsErased();
  const uint8_t expected = live ? shortEntry.ShortNameChecksum()
                                : (shortIndex > 0 ? bytes[(shortIndex - 1) * E::kBytes + E::kLongNameChecksum] : 0);
  std::u16string units;
  size_t taken = 0;
  bool ended = false;
  bool sawLast = false;
  for (size_t i = shortIndex; i > 0 && taken < CTempFATDirEntry::kMaxLongNamePieces && !ended; --i) {
    const uint8_t* piece = bytes + (i - 1) * E::kBytes;
    if (piece[E::kLongNameChecksum] != expected) break;
    if (live && (piece[0] & 0x1F) != taken + 1) break;
    const CTempFATDirEntry pieceEntry(piece);
    std::u16string part = pieceEntry.GetLongFileNamePiece();
    ended = part.size() < 13;
    units += part;
    ++taken;
    if (live && (piece[0] & 0x40) != 0) ended = sawLast = true;
  }
  // A live name must be whole: its last piece carries the 0x40 mark. Erased
  // pieces lost their marks, so they are taken as far as they match.
  std::string name;
  if (taken > 0 && (sawLast || !live)) name = Utf16LEToUtf8(units.data(), units.size());
  if (!CTempFATDirEntry::IsValidLongFileName(name.c_str())) name = shortEntry.GetShortName(0);
  return BuildFATFilePropertyFromDirEntry(name.c_str(), shortEntry.Bytes());
}

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry(const char* name,
                                                                                const uint8_t* entry) {
  if (name == nullptr || entry == nullptr) return nullptr;
  CFATFileProperties* p = CFATFileProperties::Create();
  if (p == nullptr) return nullptr;
  const CTempFATDirEntry e(entry);
  p->SetFileName(name);
  p->SetFileSize(e.GetFileSize());
  p->SetAttribute(e.Attribute());
  _FILETIME t = 0;
  DosDateTimeToFileTime(Le16(entry + E::kCreationDate), Le16(entry + E::kCreationTime), &t);
  p->SetCreationTime(t);
  DosDateTimeToFileTime(Le16(entry + E::kModificationDate), Le16(entry + E::kModificationTime), &t);
  p->SetModificationTime(t);
  DosDateTimeToFileTime(Le16(entry + E::kAccessDate), 0, &t);
  p->SetLastAccessTime(t);
  p->SetState(e.IsErased() ? CFATFileProperties::kStateDeleted : 0);
  p->SetEntryErased(e.IsErased());
  return p;
}

void CFATFileProperties::KeepSupportedSize(int64_t supported) {
  if (supported < 0 || supported >= m_s.size) return;
  m_s.size = supported;
  m_s.state = static_cast<uint8_t>(m_s.state | kStateSizeDamaged);
}
