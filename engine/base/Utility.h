// Small clock, path and file routines shared by the engine and the
// application.
#pragma once

#include <cstdint>
#include <ctime>

#include "SystemTime.h"

// The application's working folder (log file, UIConfig.ini): the folder
// named by CLIPMENDER_WORK_DIR when set (tests), else
// $XDG_DATA_HOME/clipmender or ~/.local/share/clipmender. Created on first
// use; computed once per process.
const char* GetAppWorkPath();

// Whether traces written once per found file (a line per node a scanner
// makes) go to standard output. A scan of a large volume makes millions of
// nodes, so they are off unless CLIPMENDER_TRACE_NODES is set to anything
// but "" or "0" when first asked; SetNodeTrace overrides that.
bool IsNodeTraceOn();
void SetNodeTrace(bool on);

// 1 when `text` is valid UTF-8, 0 otherwise and for null.
int isValidString(const char* text);

// Fills `time` with the current local time and answers 0; null answers
// 0xFFFFFFFF.
uint32_t GetLocalTime(_SYSTEMTIME* time);

// Fills `out` from a Unix time (milliseconds 0) and answers 0; a negative
// time leaves it untouched.
int ConverTime(time_t t, _SYSTEMTIME* out);

// A millisecond count at one-second resolution for measuring intervals. It
// follows a monotonic clock, so wall-clock changes never make an interval
// jump; it wraps at 32 bits like the host's counter.
uint32_t GetTickCount();

// The file's size cut to 32 bits; 0 when the path is null, missing or empty.
uint32_t GetFileSize(const char* path);

// Copies a file, or a folder recursively, with its data, permissions, times,
// extended attributes and access lists. The int is not used. Answers 0 on
// success, -1 on failure (errno set).
int CopyFileA(const char* from, const char* to, int unused);
