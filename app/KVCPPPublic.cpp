#include "app/KVCPPPublic.h"

#include <QString>

#include "FileNode.h"
#include "app/KVUIPublic.h"
#include "platform/Resources.h"
#include "platform/SingleInstance.h"

namespace {

constexpr int kMaxRootSteps = 1024;

constexpr _FILTER_TYPE kCategories[] = {FILTER_TYPE_PICTURE, FILTER_TYPE_MUSIC,    FILTER_TYPE_MOVIE,
                                        FILTER_TYPE_ARCHIVE, FILTER_TYPE_DOCUMENT, FILTER_TYPE_OTHER};

const char* CategoryKey(_FILTER_TYPE type) {
  switch (type) {
    case FILTER_TYPE_PICTURE:
      return "PAGE_TWO_PICTURE_TITLE";
    case FILTER_TYPE_MUSIC:
      return "PAGE_TWO_MUSIC_TITLE";
    case FILTER_TYPE_MOVIE:
      return "PAGE_TWO_MOVIE_TITLE";
    case FILTER_TYPE_ARCHIVE:
      return "PAGE_TWO_ARCHIVE_TITLE";
    case FILTER_TYPE_DOCUMENT:
      return "PAGE_TWO_DOCUMENT_TITLE";
    case FILTER_TYPE_OTHER:
      return "PAGE_TWO_OTHER_TITLE";
  }
  return nullptr;
}

}  // namespace

KVCPPPublic& KVCPPPublic::instance() {
  static KVCPPPublic object;
  return object;
}

IFilesystemNode* KVCPPPublic::GetFileSystemNode(IFileNode* node) {
  if (node == nullptr) return nullptr;
  IFileNode* top = node;
  for (int step = 0; step < kMaxRootSteps; ++step) {
    IFileNode* parent = top->GetParent();
    if (parent == nullptr) break;
    top = parent;
  }
  return dynamic_cast<IFilesystemNode*>(top);
}

_tagSearcherType KVCPPPublic::GetNodeSearcheType(IFileNode* node) {
  IFilesystemNode* root = GetFileSystemNode(node);
  if (root == nullptr) return SEARCHER_TYPE_NONE;
  return root->GetSearcheType();
}

void KVCPPPublic::GetYearMonthByTimeT(int* year, int* month, time_t t) {
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return;
  if (year != nullptr) *year = local.tm_year + 1900;
  if (month != nullptr) *month = local.tm_mon + 1;
}

void KVCPPPublic::GetYearMonthByFileTime(int* year, int* month, _FILETIME t) {
  GetYearMonthByTimeT(year, month, static_cast<time_t>(convertWindowsTimeToUnixTime(t)));
}

std::string KVCPPPublic::FilterTypeToString(_FILTER_TYPE type) {
  const char* key = CategoryKey(type);
  if (key == nullptr) return std::string();
  return platform::Resources::LocalizedString(QString::fromLatin1(key)).toStdString();
}

_FILTER_TYPE KVCPPPublic::StringToFilterType(const char* text) {
  if (text == nullptr) return FILTER_TYPE_OTHER;
  for (_FILTER_TYPE type : kCategories) {
    if (FilterTypeToString(type) == text) return type;
  }
  return FILTER_TYPE_OTHER;
}

bool KVCPPPublic::IsTypeString(const char* text, _FILTER_TYPE type) {
  if (text == nullptr || CategoryKey(type) == nullptr) return false;
  return FilterTypeToString(type) == text;
}

bool KVCPPPublic::IsStringInFileNode(const char* key, IFileNode* node) { return KVUIPublic::IsString(key, node); }

bool KVCPPPublic::IsAppRunning() { return platform::IsOtherInstanceRunning(); }
