// The copy gives way to the recorder's own work: rsync and the flush run at
// nice 10 in the lowest best-effort I/O level, read back from the running
// processes, while the tool itself keeps its priorities.

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

constexpr int kBestEffortLowest = (2 << 13) | 7;

int ioPriority(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, pid));
}

// Field 19 of /proc/<pid>/stat, counted after the command name.
int niceOf(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 16 ? fields.at(16).toInt() : -100;
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
        QTest::newRow("rsync") << false;
        QTest::newRow("sync -f") << true;
    }

    void childrenGiveWay()
    {
        REQUIRE_SANDBOX();
        QFETCH(bool, flush);
        useMonitorConfig();
        QTemporaryDir work;
        QByteArray recording(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(recording.data()), recording.size() / 4);
        QVERIFY(writeFile(work.filePath("src/ch1/1.mp4"), recording) && QDir().mkpath(work.filePath("dst")));

        // The wrapper writes its pid, then becomes (or, for sync, later starts) the real program.
        FakePrograms fakes;
        QString pidFile;
        if (flush) {
            fakes.install("sync", "slow-sync.sh");
            writeMonitorIni("[System]\nRsyncPath=/usr/bin/rsync\n");
            pidFile = fakes.path() + "/sync.pid";
        } else {
            useSlowRsync(fakes);
            pidFile = fakes.path() + "/slow-rsync.pid";
        }
        const int ownIoPriority = ioPriority(0);

        QVERIFY(SyncManager::instance().startSync(work.filePath("src"), work.filePath("dst"), {}, Descriptor()));
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(pidFile).trimmed().isEmpty(), 10000);
        const pid_t child = readFile(pidFile).trimmed().toInt();
        QCOMPARE(niceOf(child), 10);
        QCOMPARE(ioPriority(child), kBestEffortLowest);
        QCOMPARE(::getpriority(PRIO_PROCESS, 0), 0);
        QCOMPARE(ioPriority(0), ownIoPriority);
        QVERIFY(ownIoPriority != kBestEffortLowest);
        if (flush)
            QTRY_VERIFY_WITH_TIMEOUT(!SyncManager::instance().isSyncing(), 10000);
    }
};

QTEST_MAIN(PriorityTest)
#include "tst_priority.moc"
