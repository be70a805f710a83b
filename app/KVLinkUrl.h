// The application's web addresses by link key: "IniURL" (the remote version
// list), "UpdateURL" (the download page), "AboutURL" (the About window's
// page), "HelpURL" (the online help) and the share pages "FaceBookURL",
// "Twitter" and "GoogleURL".
//
// They come from the "LocalVersionMessage" list of the resources: its
// sub-dictionary for the interface language, then its "en" one. A key that
// both leave out or empty takes the address this build was configured with
// (the CMake options CLIPMENDER_UPDATE_LIST_URL for "IniURL" and
// CLIPMENDER_WEBSITE for the pages), which are empty unless a build sets
// them: a build without them has no update check and no web links.
#pragma once

#include <QString>
#include <QUrl>

class KVLinkUrl {
 public:
  KVLinkUrl() = delete;

  // The address stored under `key`, or the empty text when there is none.
  static QString GetUrl(const QString& key);

  // GetUrl as a web address: only http and https addresses with a host are
  // given out, anything else (a local file, a script) reads as none.
  static QUrl WebUrl(const QString& key);

  // The address the build was configured with for `key` (empty for keys it
  // has none for).
  static QString BuiltInUrl(const QString& key);
};
