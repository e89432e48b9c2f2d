// The whole export inside the test process: a real ext4 drive on a loop
// device, the real mount, umount and rsync, the window driven through its
// device event, its buttons and the Escape key, every box answered.

#include "exportfixture.h"
#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/drivecapabilities.h"
#include "platform/backgroundjob.h"
#include "device/writeback.h"
#include "recordings/recordingindex.h"
#include "sync/syncmanager.h"
#include "ui/mainwindow.h"
#include "ui/spandialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QMenu>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLabel>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>

using namespace TestSupport;

namespace {

// Times the flush after a successful rsync, from the copy engine's line that
// starts it to its success line.
QElapsedTimer flushClock;
qint64 flushMs = -1;
QtMessageHandler chainedHandler = nullptr;

void timeFlush(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith("正在写入U盘缓存:"))
        flushClock.start();
    else if (message == "同步成功完成" && flushClock.isValid())
        flushMs = flushClock.elapsed();
    chainedHandler(type, context, message);
}

} // namespace

enum class Interruption { Stop, Escape, Kill };
enum class Plant { Nothing, HostLink, DatabaseLink, NoDatabase };
Q_DECLARE_METATYPE(Interruption)
Q_DECLARE_METATYPE(Plant)

class ExportTest : public QObject, protected ExportFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void happyPathThenSecondExport();
    void driveFillsUp();
    void interruptedCopy_data();
    void interruptedCopy();
    void hostileDrive_data();
    void hostileDrive();
    void withoutDrive_data();
    void withoutDrive();
    void smallStick();
    void customSpan();
    void errorReport_data();
    void errorReport();
    void recordingsDeletedDuringCopy();
    void fileSystems_data();
    void fileSystems();
    void slowStick_data();
    void slowStick();
    void databaseLocked_data();
    void databaseLocked();
    void busyRecorder();

};

void ExportTest::initTestCase()
{
    REQUIRE_SANDBOX();
    setUpOnce();
}

void ExportTest::init()
{
    setUp();
}

void ExportTest::cleanup()
{
    tearDown();
}

void ExportTest::happyPathThenSecondExport()
{
    makeRecordings(12, 2048);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    const QByteArray firstDatabase = readFile(kDatabase);
    QSignalSpy finished(session(), &ExportSession::finished);
    QSignalSpy bar(m_window->findChild<QProgressBar *>(), &QProgressBar::valueChanged);
    chainedHandler = qInstallMessageHandler(timeFlush);
    clickStart();
    const bool ended = QTest::qWaitFor([&] { return !finished.isEmpty(); }, kCopyTimeoutMs);
    qInstallMessageHandler(chainedHandler);
    QVERIFY(ended);
    QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
    std::printf("the flush after copying 24 MiB to the loop drive took %lld ms\n", flushMs);
    // The bar shows the whole copy and then the whole verification: neither
    // goes back, and 100 comes at the end only. A fast drive may go from
    // nothing to everything between two readings.
    QVERIFY(!bar.isEmpty());
    int phases = 1;
    for (int i = 1; i < bar.size(); ++i) {
        if (bar.at(i).at(0).toInt() < bar.at(i - 1).at(0).toInt())
            ++phases;
    }
    QVERIFY2(phases <= 2, qPrintable(QString::number(phases)));
    QCOMPARE(bar.last().at(0).toInt(), 100);
    QCOMPARE(std::count_if(bar.cbegin(), bar.cend(), [](const QList<QVariant> &v) { return v.at(0).toInt() == 100; }), 1);
    QVERIFY2(m_window->findChild<QLabel *>("progressLabel")->text().startsWith("已复制 24.00 MB，用时 "),
             qPrintable(m_window->findChild<QLabel *>("progressLabel")->text()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).title, QString("完成"));
    QCOMPARE(m_boxes->boxes().at(0).text, QString("文件复制完成\n已校验 13 个文件\n未签名：找不到签名密钥"));
    QCOMPARE(differences(false), QStringList());
    QCOMPARE(readFile(kTarget + "/alarms.db"), firstDatabase);

    // The same drive again: the database copied first stays, the recordings
    // copy runs again and brings what is new.
    writeFile(kDatabase, "a newer database");
    writeFile(kRecordings + "/ch1/2024-05-03/new.mp4", randomBytes(300 * 1024));
    // The window is ready again, with the free space the copy left.
    QVERIFY(button("startButton")->isEnabled());
    QVERIFY(m_window->findChild<QLabel *>("usbInfoLabel")->text().endsWith(
            MainWindow::formatSize(DeviceManager::instance().freeSpace())));
    m_log->clear();
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kCopyTimeoutMs);
    QCOMPARE(session()->exported()->plan.filesToCopy, qint64(1));
    QCOMPARE(session()->exported()->plan.bytesToCopy, qint64(307200));
    QVERIFY2(succeeded(finished, 1), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(differences(false), QStringList());
    // The database is a new snapshot; the first export's copy stays beside it.
    QCOMPARE(readFile(kTarget + "/alarms.db"), QByteArray("a newer database"));
    const QStringList kept = QDir(kTarget).entryList({"alarms-*.db"});
    QCOMPARE(kept.size(), 1);
    QCOMPARE(readFile(kTarget + '/' + kept.at(0)), firstDatabase);
    exitAndExpectUnmounted();
}

// The stick fills up under the copy (another writer on it, or a file system
// that needs more than it said): rsync's "No space left on device" ends the
// export in one report, and what did land is whole.
void ExportTest::driveFillsUp()
{
    useSlowRsync(*m_scripts);
    makeRecordings(8, 1024);
    openWindow();
    CHECKED(makeDrive(32));
    CHECKED(addDrive());
    QSignalSpy started(&SyncManager::instance(), &SyncManager::syncStarted);
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    QTRY_COMPARE(started.count(), 1);
    const QString filler = kMountPoint + "/filler";
    QCOMPARE(run("fallocate", {"-l", QString::number(DeviceManager::instance().freeSpace() - (1 << 20)), filler}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(succeeded(finished, 0), false);
    CHECKED(expectEnded("复制失败"));
    QCOMPARE(m_boxes->count(), 1); // one report of all errors
    QCOMPARE(m_boxes->boxes().at(0).title, QString("错误"));
    QVERIFY2(m_boxes->boxes().at(0).text.contains("No space left on device"), qPrintable(m_boxes->boxes().at(0).text));
    QCOMPARE(differences(true), QStringList());

    // Nothing is left stuck: with room again, a later export completes the set.
    QVERIFY(button("startButton")->isEnabled());
    QVERIFY(QFile::remove(filler));
    writeMonitorIni(QByteArray());
    CHECKED(startAgain());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kCopyTimeoutMs);
    QVERIFY2(succeeded(finished, 1), qPrintable(m_log->dump()));
    QCOMPARE(differences(false), QStringList());
    exitAndExpectUnmounted();
}

void ExportTest::interruptedCopy_data()
{
    QTest::addColumn<Interruption>("how");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("finalStatus");
    QTest::newRow("stop button, No then Yes") << Interruption::Stop << QString("确定要停止复制吗？") << QString("已停止复制");
    QTest::newRow("Escape key, No then Yes")
            << Interruption::Escape << QString("正在复制文件，确定要退出吗？") << QString("请插入U盘");
    QTest::newRow("rsync killed from outside") << Interruption::Kill << QString() << QString("复制失败");
}

void ExportTest::interruptedCopy()
{
    QFETCH(Interruption, how);
    QFETCH(QString, question);
    QFETCH(QString, finalStatus);

    // A real rsync, slowed down so that the copy is caught mid-way.
    useSlowRsync(*m_scripts);
    makeRecordings(8, 1024);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    QSignalSpy progress(&SyncManager::instance(), &SyncManager::syncOutput);
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 20000);

    if (how == Interruption::Kill) {
        ::kill(pid_t(m_scripts->pid("slow-rsync")), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QVERIFY(!verdictOf(finished, 0).copied && !verdictOf(finished, 0).stopped);
    } else {
        // No leaves the copy running; Yes ends it.
        for (const QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
            QVERIFY(finished.isEmpty() && SyncManager::instance().isSyncing() && DeviceManager::instance().isMounted());
            const int shown = m_boxes->count();
            m_boxes->queueAnswer(answer);
            if (how == Interruption::Stop)
                click("stopButton");
            else
                QTest::keyClick(m_window.get(), Qt::Key_Escape);
            QVERIFY(m_boxes->count() > shown);
            QCOMPARE(m_boxes->boxes().at(shown).title, QString("确认"));
        }
        QCOMPARE(finished.count(), 1);
        // Beside the two questions at most rsync's own report of the signal.
        QCOMPARE(m_boxes->texts().mid(0, 2), QStringList({question, question}));
        for (const BoxAnswerer::Box &box : m_boxes->boxes().mid(2))
            QVERIFY2(box.text.startsWith("rsync"), qPrintable(box.text));
    }
    QCOMPARE(succeeded(finished, 0), false);
    CHECKED(expectEnded(finalStatus));
    QCOMPARE(differences(true), QStringList());
    if (how == Interruption::Escape) {
        QVERIFY(!DeviceManager::instance().isMounted());
        QVERIFY(quitWasPending());
        CHECKED(addDrive());
    }

    // A later export at full speed completes the set.
    writeMonitorIni(QByteArray());
    CHECKED(startAgain());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kCopyTimeoutMs);
    QVERIFY2(succeeded(finished, 1), qPrintable(m_log->dump()));
    QCOMPARE(differences(false), QStringList());
    QCOMPARE(readFile(kTarget + "/alarms.db"), readFile(kDatabase));
    exitAndExpectUnmounted();
}

void ExportTest::hostileDrive_data()
{
    QTest::addColumn<QByteArray>("hostName");
    QTest::addColumn<Plant>("plant");
    QTest::addColumn<bool>("refused");
    QTest::newRow("host entry links outside") << QByteArray("rec01") << Plant::HostLink << true;
    QTest::newRow("host name ../x") << QByteArray("../x") << Plant::Nothing << true;
    QTest::newRow("host name ..") << QByteArray("..") << Plant::Nothing << true;
    QTest::newRow("database entry links outside") << QByteArray("rec01") << Plant::DatabaseLink << false;
    QTest::newRow("no database on the recorder") << QByteArray("rec01") << Plant::NoDatabase << false;
}

void ExportTest::hostileDrive()
{
    QFETCH(QByteArray, hostName);
    QFETCH(Plant, plant);
    QFETCH(bool, refused);

    makeRecordings(3, 64);
    CHECKED(makeDrive(16));
    const QString prepared = kMedia + "/prepare";
    QVERIFY(m_drive->mountAt(prepared));
    if (plant == Plant::HostLink)
        QVERIFY(QFile::link(kOutside, prepared + "/rec01"));
    if (plant == Plant::DatabaseLink)
        QVERIFY(QDir().mkpath(prepared + "/rec01") && QFile::link(kOutside + "/victim.db", prepared + "/rec01/alarms.db"));
    if (plant == Plant::NoDatabase)
        QVERIFY(QFile::remove(kDatabase));
    QVERIFY(m_drive->unmountFrom(prepared));
    writeHostname(hostName + '\n');
    openWindow();
    CHECKED(addDrive());
    const QMap<QString, QByteArray> outsideBefore = snapshot(kMedia, true, kMountPoint);
    const QMap<QString, QByteArray> driveBefore = snapshot(kMountPoint);

    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    if (refused) {
        QCOMPARE(m_boxes->texts(), QStringList{"创建主机名目录失败"});
        QCOMPARE(session()->state(), ExportSession::Ready); // no copy began
        QVERIFY(!SyncManager::instance().isSyncing());
        QCOMPARE(snapshot(kMountPoint), driveBefore);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
        QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
        QCOMPARE(QFileInfo(kTarget + "/alarms.db").isSymLink(), plant == Plant::DatabaseLink);
        QCOMPARE(differences(false), QStringList());
        // The recordings are there; the verdict names the database that is not.
        QTRY_COMPARE(m_boxes->count(), 1);
        QCOMPARE(m_boxes->boxes().at(0).title, QString("完成"));
        const QString text = m_boxes->boxes().at(0).text;
        QVERIFY2(text.startsWith("文件复制完成\n已校验 ") && text.contains("\n报警数据库复制失败："), qPrintable(text));
    }
    QCOMPARE(snapshot(kMedia, true, kMountPoint), outsideBefore);
    exitAndExpectUnmounted();
}

// A stick smaller than the recordings: by default, or when the person chose
// more than fits and answers Yes, the newest recordings of every camera land,
// one time cut across the cameras; No leaves the drive untouched. When
// everything fits (counting what the drive already holds) it all lands, with
// the command line an export of everything has always had.
// The fit policy's cases are a table of its own (tst_exportplan); here the
// one that asks, end to end: everything chosen on a stick too small, Yes
// copies the newest part that fits, byte for byte.
void ExportTest::smallStick()
{
    const int hours = 6; // recordings of 1 MiB per camera and hour, 4 cameras, 16 MiB drive
    makeTimedRecordings(4, hours, 1024);
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    chooseSpan(Span::All);
    QSignalSpy finished(session(), &ExportSession::finished);
    m_boxes->queueAnswer(QMessageBox::Yes);
    clickStart();
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(m_boxes->count(), 1);
    const QString question = m_boxes->texts().at(0);
    QVERIFY2(question.startsWith("U盘空间不足：") && question.contains("选择“是”将只复制放得下的最新录像"),
             qPrintable(question));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    // A time cut: everything from the oldest recording that landed on, of
    // every camera, and nothing older; the newest of each camera is there.
    const QStringList landed = landedRecordings();
    QCOMPARE(differences(true), QStringList());
    QVERIFY2(!landed.isEmpty() && landed.size() < 4 * hours, qPrintable(landed.join(' ')));
    QCOMPARE(landed, recordingsFrom(oldestTime(landed)));
    for (int camera = 1; camera <= 4; ++camera)
        QVERIFY2(landed.contains(QString("ch%1/%2.mp4").arg(camera).arg(hours - 1)), qPrintable(landed.join(' ')));
    exitAndExpectUnmounted();
}

// A custom span through its dialog, and one camera left out: the recordings
// within the span land, with the first one of each folder after its end, and
// nothing else.
void ExportTest::customSpan()
{
    const qint64 base = makeTimedRecordings(3, 6, 256);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    const QList<QAction *> cameras = m_window->findChild<QMenu *>("cameraMenu")->actions();
    QCOMPARE(cameras.size(), 3);
    QCOMPARE(cameras.at(2)->data().toString(), QString("ch3"));
    cameras.at(2)->trigger(); // unchosen
    // Hours 1 and 2, to the minute; hour 3 holds the span's last minutes.
    const QDateTime start = QDateTime::fromSecsSinceEpoch(base + 3600 - 60);
    const QDateTime end = QDateTime::fromSecsSinceEpoch(base + 2 * 3600 + 60);
    bool answered = false;
    QTimer::singleShot(100, [&] {
        if (auto *dialog = qobject_cast<SpanDialog *>(QApplication::activeModalWidget())) {
            dialog->setSpan(start, end);
            dialog->accept();
            answered = true;
        }
    });
    chooseSpan(Span::Custom);
    QVERIFY(answered);
    QVERIFY2(m_window->findChild<QComboBox *>("spanBox")->currentText().startsWith("自定义: "),
             qPrintable(m_window->findChild<QComboBox *>("spanBox")->currentText()));
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
    QCOMPARE(differences(true), QStringList());
    QCOMPARE(landedRecordings(), QStringList({"ch1/1.mp4", "ch1/2.mp4", "ch1/3.mp4", "ch2/1.mp4", "ch2/2.mp4", "ch2/3.mp4"}));
    QCOMPARE(readFile(kTarget + "/alarms.db"), readFile(kDatabase));
    exitAndExpectUnmounted();
}

// rsync's error lines, however many, end in at most one box; vanished files
// alone are a complete export of what still exists.
void ExportTest::errorReport_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("last");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("box");   // title and the start of the text
    const QByteArray vanished = "file has vanished: \"/media/zozadoz/record/record/ch1/%d.mp4\"";
    const QByteArray summary24 = "rsync warning: some files vanished before they could be transferred (code 24) "
                                 "at main.c(1338) [sender=3.5.0]";
    QTest::newRow("a day deleted by the rotation") << 6000 << vanished << summary24 << 24
                                                   << "完成|文件复制完成\n复制期间录像机删除了 6000 个录像文件";
    QTest::newRow("owners refused on every file")
            << 1500 << QByteArray("rsync: chown \"/x/%d.mp4\" failed: Operation not permitted (1)")
            << QByteArray("rsync error: some files/attrs were not transferred (code 23) at main.c(1338)") << 23
            << "错误|复制时出现 1501 条错误，前 10 条：\nrsync: chown \"/x/1.mp4\" failed";
    QTest::newRow("vanished and one other error") << 5 << vanished << QByteArray("rsync: read errors mapping \"/x\"")
                                                   << 24 << "错误|复制时出现 6 条错误，前 6 条：\nfile has vanished";
}

void ExportTest::errorReport()
{
    QFETCH(int, lines);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, last);
    QFETCH(int, exitCode);
    QFETCH(QString, box);
    m_scripts->configure(QString(), {"LINES=" + QString::number(lines), "TEXT=" + QString::fromUtf8(text),
                                     "LAST=" + QString::fromUtf8(last), "EXIT=" + QString::number(exitCode)});
    // The fake copies nothing: what it says is the point here, not the stick.
    writeMonitorIni("[System]\nVerifyExport=false\nRsyncPath=" + m_scripts->install("rsync", "rsync-errors.sh").toUtf8()
                    + '\n');
    makeRecordings(3, 4);
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    QSignalSpy finished(session(), &ExportSession::finished);
    // The window keeps serving its event loop through the flood.
    int ticks = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(20);
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(ticks >= 5 || lines < 1000, qPrintable(QString::number(ticks)));
    const bool success = box.startsWith("完成");
    QCOMPARE(succeeded(finished, 0), success);
    CHECKED(expectEnded(success ? "复制完成" : "复制失败"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).title, box.section('|', 0, 0));
    QVERIFY2(m_boxes->boxes().at(0).text.startsWith(box.section('|', 1)), qPrintable(m_boxes->boxes().at(0).text));
    QCOMPARE(m_log->countStartingWith(QtWarningMsg, "Rsync错误："), lines + 1);
    QVERIFY(button("startButton")->isEnabled());
    exitAndExpectUnmounted();
}

// The real rsync, slowed down, while the recorder deletes recordings that it
// has listed but not sent yet.
void ExportTest::recordingsDeletedDuringCopy()
{
    useSlowRsync(*m_scripts);
    makeRecordings(3, 256);
    // rsync lists a directory whole when it enters it and sends in name order:
    // z2 and z3 are listed by the time 0.mp4 is on its way, and sent later.
    const QString day = kRecordings + "/ch1/2024-05-01/";
    for (const char *name : {"z1.mp4", "z2.mp4", "z3.mp4"})
        writeFile(day + name, randomBytes(1024 * 1024));
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    QTRY_VERIFY(m_log->countStartingWith(QtDebugMsg, "Rsync输出：") > 0 && m_log->dump().contains("2024-05-01/0.mp4"));
    QVERIFY(QFile::remove(day + "z2.mp4") && QFile::remove(day + "z3.mp4"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).text,
             QString("文件复制完成\n已校验 %1 个文件\n复制期间录像机删除了 2 个录像文件，导出包含其余全部录像。"
                     "\n未签名：找不到签名密钥")
                     .arg(3 + 1 + 1)); // the recordings still there, and the database
    QCOMPARE(m_window->findChild<QProgressBar *>()->value(), 100);
    QCOMPARE(differences(false), QStringList());
    exitAndExpectUnmounted();
}

// Sticks as people format them: what the file system cannot hold (owners,
// modes, links, fine times) must not turn a complete export into a failure,
// nor make the next export copy everything again.
void ExportTest::fileSystems_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("found");     // what the probe logs
    QTest::addColumn<QString>("options");   // what the logged command line adds after -av
    QTest::newRow("ext4") << "ext4" << "ext4: owners yes, permissions yes, links yes, time 1 s, largest file unlimited"
                          << "";
    QTest::newRow("exfat") << "exfat" << "exfat: owners no, permissions no, links no, time 1 s, largest file unlimited"
                           << "--no-owner --no-group --no-perms --no-links ";
    // ntfs-3g answers a chown and a chmod with success and keeps neither.
    QTest::newRow("ntfs") << "ntfs" << "ntfs: owners no, permissions no, links yes, time 1 s, largest file unlimited"
                          << "--no-owner --no-group --no-perms ";
    QTest::newRow("vfat") << "vfat"
                          << "vfat: owners no, permissions no, links no, time 2 s, largest file 4294967295 bytes"
                          << "--no-owner --no-group --no-perms --no-links --modify-window=1 --max-size=4294967295 ";
}

void ExportTest::fileSystems()
{
    QFETCH(QString, fileSystem);
    QFETCH(QString, found);
    QFETCH(QString, options);
    makeRecordings(6, 256);
    QVERIFY(::chown(QFile::encodeName(kRecordings + "/ch1/2024-05-01/0.mp4").constData(), 1234, 1234) == 0);
    QVERIFY(QFile::link("ch1/2024-05-01/0.mp4", kRecordings + "/latest.mp4"));
    openWindow();
    CHECKED(makeDrive(64, fileSystem));
    m_window->handleDeviceEvent(m_drive->kernelName(), "add");
    if (!DeviceManager::instance().isMounted() && fileSystem == "vfat")
        QSKIP("mount cannot mount FAT32 here: the kernel has no vfat driver and there is no mount.vfat helper");
    m_boxes->clear();
    CHECKED(addDrive());
    QSignalSpy finished(session(), &ExportSession::finished);
    for (int round = 1; round <= 2; ++round) {
        m_log->clear();
        QElapsedTimer clock;
        clock.start();
        clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), round, kCopyTimeoutMs);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        std::printf("%s export %d: %lld ms\n", qPrintable(fileSystem), round, clock.elapsed());
        QVERIFY2(succeeded(finished, int(finished.count()) - 1), qPrintable(m_log->dump()));
        CHECKED(expectEnded("复制完成"));
        QCOMPARE(describe(session()->exported()->drive), found);
        QCOMPARE(m_log->countStartingWith(QtInfoMsg, "开始同步，执行命令： \"/usr/bin/rsync\" \"-av " + options
                                                          + "--progress --exclude=.* "), 1);
        // The probe leaves nothing behind on the drive.
        QStringList top = QDir(kMountPoint).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        top.removeAll("lost+found");
        QCOMPARE(top, QStringList{"rec01"});
        QStringList problems = differences(false);
        problems.removeAll("missing: latest.mp4"); // no links on the drive: a link holds no recording
        QCOMPARE(problems, QStringList());
        if (round == 2) // nothing new: rsync sends no file
            QCOMPARE(session()->exported()->plan.filesToCopy, qint64(0));
    }
    exitAndExpectUnmounted();
}

void ExportTest::withoutDrive_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("quits");
    QTest::newRow("start button") << QString() << QStringList{"没有检测到U盘"} << false;
    for (const char *action : {"Add", "ADD", "add ", ""})
        QTest::addRow("action \"%s\"", action) << QString(action) << QStringList() << false;
    QTest::newRow("remove") << QString("remove") << QStringList() << true;
}

void ExportTest::withoutDrive()
{
    QFETCH(QString, action);
    QFETCH(QStringList, boxes);
    QFETCH(bool, quits);

    makeRecordings(3, 64);
    openWindow();
    const QMap<QString, QByteArray> before = snapshot(kMedia);
    if (QByteArray(QTest::currentDataTag()) == "start button") {
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartSync"));
    } else {
        m_window->handleDeviceEvent("sdz9", action);
        QCOMPARE(m_log->countStartingWith(QtInfoMsg, "Device event - Device:"), 1);
    }
    QCOMPARE(m_boxes->texts(), boxes);
    QCOMPARE(m_log->countStartingWith(QtInfoMsg, "尝试挂载设备:"), 0);
    QVERIFY(!DeviceManager::instance().isMounted());
    QCOMPARE(snapshot(kMedia), before);
    QCOMPARE(quitWasPending(quits ? 3000 : 300), quits);
}

// A stick that writes 10 MB/s, as cheap ones do: the window follows what the
// stick holds, not the page cache; once rsync is done it says that the rest
// is being written, and 停止 then stops the export. The stick's own write
// cache is bounded while it is mounted and its settings are back afterwards.
void ExportTest::slowStick_data()
{
    QTest::addColumn<QString>("stopWhile"); // empty: to the end
    QTest::newRow("to the end") << QString();
    QTest::newRow("stopped while writing to the stick") << "writing";
    QTest::newRow("stopped while verifying") << "verifying";
}

void ExportTest::slowStick()
{
    QFETCH(QString, stopWhile);
    makeRecordings(6, 10 * 1024);
    m_slow = std::make_unique<SlowDrive>(256);
    QVERIFY2(m_slow->isValid(), qPrintable(m_slow->errorString()));
    const QString bdi = WritebackLimit::bdiDirectoryOf(m_slow->device());
    QVERIFY(!bdi.isEmpty());
    QMap<QString, QByteArray> settings;
    // max_bytes reads as a share of a threshold that moves with free memory;
    // the share itself is max_ratio_fine.
    for (const char *name : {"strict_limit", "max_ratio_fine", "max_ratio"})
        settings.insert(name, readFile(bdi + '/' + name));
    openWindow();
    CHECKED(addDrive(m_slow->kernelName()));
    if (QFile::exists(bdi + "/strict_limit"))
        QCOMPARE(readFile(bdi + "/strict_limit").trimmed(), QByteArray("1"));

    // What the window shows, sampled as a person sees it: the copy's bar,
    // then the verification's.
    bool writing = false;
    bool verifying = false;
    QList<int> copyBar;
    QList<int> verifyBar;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&] {
        const int value = m_window->findChild<QProgressBar *>()->value();
        writing = writing || status().startsWith("正在写入U盘");
        verifying = verifying || status().startsWith("正在校验");
        (verifying ? verifyBar : copyBar) << value;
    });
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    sampler.start(50);
    if (!stopWhile.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(stopWhile == "writing" ? writing : verifying, kCopyTimeoutMs);
        m_boxes->queueAnswer(QMessageBox::Yes);
        click("stopButton");
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
        QCOMPARE(succeeded(finished, 0), false);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        if (stopWhile == "writing") {
            CHECKED(expectEnded("已停止复制"));
            QCOMPARE(m_boxes->texts(), QStringList{"确定要停止复制吗？"});
        } else {
            // Copied, not verified: one box says so.
            QVERIFY(verdictOf(finished, 0).verificationStopped);
            CHECKED(expectEnded("已停止校验"));
            QCOMPARE(m_boxes->texts(), QStringList({"确定要停止校验吗？", "文件复制完成，但校验已停止：U盘上的文件未与录像核对。"}));
            QCOMPARE(differences(false), QStringList());
        }
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
        QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
        QTRY_VERIFY(!QApplication::activeModalWidget());
        CHECKED(expectEnded("复制完成"));
        QCOMPARE(differences(false), QStringList());
        QVERIFY2(writing, "the window never said that the stick was being written");
        QVERIFY2(verifying, "the window never said that the stick was being verified");
        QVERIFY(std::is_sorted(copyBar.cbegin(), copyBar.cend()));
        QVERIFY(std::is_sorted(verifyBar.cbegin(), verifyBar.cend()));
    }
    click("exitButton");
    QVERIFY(!DeviceManager::instance().isMounted());
    QVERIFY(quitWasPending());
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        QCOMPARE(readFile(bdi + '/' + it.key()), it.value());
}

// The recorder's writer holds the alarm database locked (rollback-journal
// mode) while the export waits for it: every way out ends the wait at once,
// lets go of the stick and unmounts it, with no box and nothing left on it.
void ExportTest::databaseLocked_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("退出 (Escape, Yes)") << "escape" << QStringList{"正在复制文件，确定要退出吗？"};
    QTest::newRow("remove") << "remove" << QStringList();
    QTest::newRow("停止, then 退出") << "stop" << QStringList{"确定要停止复制吗？"};
}

void ExportTest::databaseLocked()
{
    QFETCH(QString, how);
    QFETCH(QStringList, boxes);
    makeRecordings(3, 64);
    const LockedDatabase locked(kDatabase);
    QVERIFY(locked.isLocked());
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    clickStart();
    // Still waiting for the writer well after it began.
    QTest::qWait(500);
    QCOMPARE(session()->state(), ExportSession::Database);
    m_boxes->queueAnswer(QMessageBox::Yes);
    if (how == "escape") {
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
    } else if (how == "remove") {
        m_window->handleDeviceEvent(m_drive->kernelName(), "remove");
    } else {
        click("stopButton");
        QCOMPARE(session()->state(), ExportSession::Done);
        CHECKED(expectEnded("已停止复制"));
        click("exitButton");
    }
    QVERIFY(!DeviceManager::instance().isMounted());
    QVERIFY(run("findmnt", {"-n", m_drive->device()}) != 0);
    QVERIFY(quitWasPending());
    QCOMPARE(m_boxes->texts(), boxes);
    // Nothing of the snapshot is left on the stick, not even its hidden file.
    const QString look = kMedia + "/look";
    QVERIFY(m_drive->mountAt(look));
    const QStringList left = QDir(look + "/rec01").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY(m_drive->unmountFrom(look));
    QCOMPARE(left, QStringList());
    QByteArray report;
    QVERIFY2(m_drive->fsckClean(&report), report.constData());
}

// A busy recorder: 4 cameras each write a 2 MiB recording every 5 minutes,
// so the newest half hour alone (48 MiB) is far more than the 16 MiB stick
// takes. The newest recordings of every camera that fit land all the same,
// cut at a recording.
void ExportTest::busyRecorder()
{
    QDir(kMedia + "/record").removeRecursively();
    // On half-hour boundaries, so that the newest half hour holds six steps.
    const qint64 base = QDateTime::currentSecsSinceEpoch() / 1800 * 1800 - 3600;
    for (int camera = 1; camera <= 4; ++camera) {
        for (int step = 0; step < 12; ++step) {
            const QString path = QString("%1/ch%2/%3.mp4").arg(kRecordings).arg(camera).arg(step, 2, 10, QChar('0'));
            QVERIFY(writeFile(path, randomBytes(2 * 1024 * 1024)));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(base + step * 300 + camera),
                                     QFileDevice::FileModificationTime));
        }
    }
    writeFile(kDatabase, randomBytes(64 * 1024));
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    // Before 开始复制: something fits, so the newest that fit is the default
    // and can be started.
    QCOMPARE(session()->choice().span, Span::NewestThatFit);
    const QString line = m_window->findChild<QLabel *>("progressLabel")->text();
    QVERIFY2(line.contains("之后最新的一部分录像"), qPrintable(line));
    QSignalSpy finished(session(), &ExportSession::finished);
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(succeeded(finished, 0), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(m_boxes->count(), 1);
    QVERIFY2(m_boxes->texts().at(0).startsWith("文件复制完成\n已校验 "), qPrintable(m_boxes->texts().at(0)));
    // The newest recording of each camera, one time cut at a recording,
    // and as much as the stick takes: less than one more 5-minute step.
    const QStringList landed = landedRecordings();
    for (int camera = 1; camera <= 4; ++camera)
        QVERIFY2(landed.contains(QString("ch%1/11.mp4").arg(camera)), qPrintable(landed.join(' ')));
    QVERIFY2(landed.size() < 8, qPrintable(landed.join(' ')));
    QCOMPARE(landed, recordingsFrom(oldestTime(landed)));
    QCOMPARE(differences(true), QStringList());
    std::printf("busy recorder: %lld of 48 recordings landed: %s\n", qint64(landed.size()), qPrintable(landed.join(' ')));
    exitAndExpectUnmounted();
}

QTEST_MAIN(ExportTest)
#include "tst_export.moc"
