// The copy gives way to the recorder's own work: rsync with its helpers and
// the flush run at nice 10 in the lowest best-effort I/O level, read back from
// the running processes, while the tool itself keeps its priorities.

#include "testsupport.h"

#include "config/settings.h"
#include "sync/syncmanager.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

constexpr int kIoprioWhoProcess = 1;
constexpr int kBestEffortLowest = (2 << 13) | 7;

int ioPriority(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_ioprio_get, kIoprioWhoProcess, pid));
}

// The nice value, field 19 of /proc/<pid>/stat (counted after the command
// name, which may hold blanks); -100 when the process is gone.
int niceOf(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 16 ? fields.at(16).toInt() : -100;
}

// The processes of a process group.
QList<pid_t> groupMembers(pid_t group)
{
    QList<pid_t> members;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (number && ::getpgid(pid) == group)
            members.append(pid);
    }
    return members;
}

} // namespace

class PriorityTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { SyncManager::instance().stopSync(); }

    void childrenGiveWay_data()
    {
        QTest::addColumn<bool>("flush"); // false: rsync is watched, true: "sync -f"
        QTest::newRow("rsync and its helpers") << false;
        QTest::newRow("sync -f") << true;
    }

    void childrenGiveWay()
    {
        REQUIRE_SANDBOX();
        QFETCH(bool, flush);
        Settings::instance().configFile = QStringLiteral("/etc/orveld/monitor.ini");
        QTemporaryDir work;
        QByteArray recording(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(recording.data()), recording.size() / 4);
        QVERIFY(writeFile(work.filePath("src/ch1/1.mp4"), recording));
        QVERIFY(QDir().mkpath(work.filePath("dst")));

        // Each wrapper writes its pid and then becomes (or starts) the real program.
        FakePrograms fakes;
        const QString pidFile = work.filePath("child.pid");
        const QByteArray savePid = "echo $$ > '" + QFile::encodeName(pidFile) + "'\n";
        if (flush) {
            fakes.add("sync", savePid + "sleep 3\nexec /bin/sync \"$@\"");
            writeMonitorIni("[System]\nRsyncPath=/usr/bin/rsync\n");
        } else {
            const QString slowRsync = fakes.add("slow-rsync", savePid + "exec /usr/bin/rsync --bwlimit=1024 \"$@\"");
            writeMonitorIni("[System]\nRsyncPath=" + QFile::encodeName(slowRsync) + '\n');
        }
        const int ownIoPriority = ioPriority(0);

        SyncManager &sync = SyncManager::instance();
        QVERIFY(sync.startSync(work.filePath("src"), work.filePath("dst")));
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(pidFile).trimmed().isEmpty(), 10000);
        const pid_t child = readFile(pidFile).trimmed().toInt();
        // rsync forks its receiver at once; wait until the whole copy runs.
        QTRY_VERIFY(flush || groupMembers(child).size() >= 2);
        const QList<pid_t> members = groupMembers(child);
        QVERIFY(members.contains(child));
        for (const pid_t pid : members) {
            QCOMPARE(niceOf(pid), 10);
            QCOMPARE(ioPriority(pid), kBestEffortLowest);
        }
        QCOMPARE(::getpriority(PRIO_PROCESS, 0), 0);
        QCOMPARE(ioPriority(0), ownIoPriority);
        QVERIFY(ownIoPriority != kBestEffortLowest);

        if (flush)
            QTRY_VERIFY_WITH_TIMEOUT(!sync.isSyncing(), 10000);
        else
            sync.stopSync();
        QVERIFY(!sync.isSyncing());
    }
};

QTEST_MAIN(PriorityTest)
#include "tst_priority.moc"
