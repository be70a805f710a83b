#include "FileTypeManager.h"

std::string strPics;
std::string strMusic;
std::string strMovies;
std::string strArchvie;
std::string strDocument;
std::string strIM;

void CFileTypeManager::Initialze(std::map<int, std::string>& lists) {
  static constexpr struct {
    int bit;
    std::string* list;
  } kLists[] = {{1, &strPics}, {2, &strMusic}, {4, &strMovies}, {8, &strArchvie}, {16, &strDocument}};
  for (const auto& entry : kLists) {
    const auto found = lists.find(entry.bit);
    if (found != lists.end()) *entry.list = found->second;
  }
}

int CFileTypeManager::Initialize() {
  InsertList(strPics, FILE_TYPE_PICTURE);
  InsertList(strMusic, FILE_TYPE_MUSIC);
  InsertList(strMovies, FILE_TYPE_MOVIE);
  InsertList(strArchvie, FILE_TYPE_ARCHIVE);
  InsertList(strDocument, FILE_TYPE_DOCUMENT);
  return 1;
}

int CFileTypeManager::InsertList(const std::string& list, FILE_TYPE_ID type) {
  if (list.empty()) return 0;
  int inserted = 0;
  size_t from = 0;
  while (true) {
    const size_t end = list.find(';', from);
    const std::string piece = list.substr(from, end == std::string::npos ? std::string::npos : end - from);
    inserted += InsertNode(piece.c_str(), type);
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return inserted;
}

FILE_TYPE_ID CFileTypeManager::GetFileTypeID(const char* ext) const {
  FILE_TYPE_ID type = FILE_TYPE_OTHER;
  if (ext == nullptr || FindNode(ext, type) == 0) return FILE_TYPE_OTHER;
  return type;
}
