// Sets the process-wide extension lists for one test and puts the old ones
// back afterwards.
#pragma once

#include <string>

#include "FileTypeManager.h"

class ScopedExtensionLists {
 public:
  ScopedExtensionLists(std::string pics, std::string music, std::string movies, std::string archive,
                       std::string document)
      : m_saved{strPics, strMusic, strMovies, strArchvie, strDocument} {
    strPics = std::move(pics);
    strMusic = std::move(music);
    strMovies = std::move(movies);
    strArchvie = std::move(archive);
    strDocument = std::move(document);
  }
  ~ScopedExtensionLists() {
    strPics = m_saved[0];
    strMusic = m_saved[1];
    strMovies = m_saved[2];
    strArchvie = m_saved[3];
    strDocument = m_saved[4];
  }
  ScopedExtensionLists(const ScopedExtensionLists&) = delete;
  ScopedExtensionLists& operator=(const ScopedExtensionLists&) = delete;

 private:
  std::string m_saved[5];
};
