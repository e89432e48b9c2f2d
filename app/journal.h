#pragma once

// When standard error is systemd's journal (systemd names the stream in
// JOURNAL_STREAM as "<device>:<inode>"), every log line is prefixed with its
// syslog priority ("<3>" critical, "<4>" warning, "<6>" info, "<7>" debug), so
// that "journalctl -p warning" finds the failures. On a terminal, or when the
// stream was handed on to something else, the lines stay as they are.
// Returns true when the prefixes were switched on.
bool installJournalPriorities();

// True when the file descriptor `fd` is the stream that JOURNAL_STREAM names.
bool isJournalStream(int fd, const char *journalStream);
