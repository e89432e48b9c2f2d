#include "app/journal.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

bool isJournalStream(int fd, const char *journalStream)
{
    if (!journalStream || !*journalStream)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char trailing = 0;
    if (std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &trailing) != 2)
        return false;
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

bool installJournalPriorities()
{
    if (!isJournalStream(STDERR_FILENO, qgetenv("JOURNAL_STREAM").constData()))
        return false;
    // Qt's default pattern with the priority in front. A QT_MESSAGE_PATTERN of
    // the environment still takes precedence, as it does everywhere in Qt.
    qSetMessagePattern(QStringLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                                      "%{if-critical}<3>%{endif}%{if-fatal}<2>%{endif}"
                                      "%{if-category}%{category}: %{endif}%{message}"));
    return true;
}
