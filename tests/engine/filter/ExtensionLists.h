// Sets the process-wide extension lists for one test and puts the old ones
// back afterwards.
#pragma once

#include <string>
#include <utility>

#include "FileTypeManager.h"

class ScopedExtensionLists {
 public:
  ScopedExtensionLists(std::string pics, std::string music, std::string movies, std::string archive,
                       std::string document)
      : m_saved{std::exchange(strPics, std::move(pics)), std::exchange(strMusic, std::move(music)),
                std::exchange(strMovies, std::move(movies)), std::exchange(strArchvie, std::move(archive)),
                std::exchange(strDocument, std::move(document))} {}
  ~ScopedExtensionLists() {
    std::string* lists[] = {&strPics, &strMusic, &strMovies, &strArchvie, &strDocument};
    for (int i = 0; i < 5; ++i) *lists[i] = std::move(m_saved[i]);
  }
  ScopedExtensionLists(const ScopedExtensionLists&) = delete;
  ScopedExtensionLists& operator=(const ScopedExtensionLists&) = delete;

 private:
  std::string m_saved[5];
};
