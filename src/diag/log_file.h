// The log file of --log-file: every console line is appended to it as well, each line after its
// time (ISO 8601, UTC, milliseconds). Appends only, so logrotate may move the file away at any
// time; reopen_log_file (SIGHUP) then starts a new one under the same path.
#pragma once

#include <string>

// Opens (creates) `path` for appending; an empty string, or why it cannot be opened.
std::string open_log_file(const std::string& path);
// Opens the path again; the old file keeps what it has. False (the old file is kept) when the
// path cannot be opened.
bool reopen_log_file();
// Appends each non-empty line of `text` with its time, in one write; nothing without a log file.
void log_to_file(const std::string& text);
