// Opening web pages and folders with the user's desktop. Every window opens
// its links here, so tests can put a recording stand-in in its place.
//
// The application runs as root (through pkexec or sudo) to read disks; a
// browser started as root would run with the administrator's rights and
// profile, or refuse to start. So for a root process with an invoking user,
// the desktop's opener (xdg-open) runs as that user, on the same display.
#pragma once

#include <QProcessEnvironment>
#include <QStringList>
#include <QUrl>

#include <functional>

#include <sys/types.h>

class KVUrlOpener {
 public:
  KVUrlOpener() = delete;

  // Opens `url` when it is a web address (http, https) or a local file or
  // folder; anything else, and the empty address, opens nothing. Answers
  // whether it was handed on.
  static bool Open(const QUrl& url);

  // Replaces the desktop (tests); an empty handler brings the desktop back.
  static void SetHandler(std::function<void(const QUrl&)> handler);

  // How a root process opens `url` for the user `uid`: runuser starts
  // xdg-open as that user, with the user's session bus. False when the
  // process is not root or the user is root or unknown (the desktop services
  // are used then).
  struct Command {
    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
  };
  static bool CommandForUser(const QUrl& url, uid_t euid, qint64 uid, const QProcessEnvironment& environment,
                             Command* command);
};
