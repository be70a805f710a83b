// The extension-to-category table, filled from the five extension lists that
// the application sets at start. Used by the category filter and by the RAW
// carver to group carved files.
#pragma once

#include <map>
#include <string>

#include "KeHashTable.h"

// Category numbers.
enum FILE_TYPE_ID : int {
  FILE_TYPE_PICTURE = 2,
  FILE_TYPE_MUSIC = 3,
  FILE_TYPE_MOVIE = 4,
  FILE_TYPE_ARCHIVE = 5,
  FILE_TYPE_DOCUMENT = 6,
  FILE_TYPE_OTHER = 7,  // also any extension no list holds
};

// The process-wide extension lists: ";"-separated extensions without dots.
// The application fills them through CFileTypeManager::Initialze before the
// first CreateFilter and before any scan; they are read, never written, from
// then on. strIM is never filled.
extern std::string strPics;
extern std::string strMusic;
extern std::string strMovies;
extern std::string strArchvie;
extern std::string strDocument;
extern std::string strIM;

class CFileTypeManager : public CKeHashTable<FILE_TYPE_ID, 2048u> {
 public:
  // Sets strPics, strMusic, strMovies, strArchvie and strDocument from the
  // entries under the category bits 1, 2, 4, 8 and 16; a missing key leaves
  // its list as it is.
  static void Initialze(std::map<int, std::string>& lists);

  // Inserts the lists as pictures, music, movies, archive, document, in that
  // order, so an extension listed twice belongs to the earlier category.
  // Every piece between separators is inserted, empty ones included; an empty
  // list inserts nothing. Answers 1.
  int Initialize();

  // The category of an extension (the text after a name's last "."); 7 for
  // null or an extension no list holds. Case does not matter.
  FILE_TYPE_ID GetFileTypeID(const char* ext) const;

  // Inserts one ";"-separated list with the category; answers how many
  // pieces went in.
  int InsertList(const std::string& list, FILE_TYPE_ID type);
};
