// The whole export inside the test process: a real ext4 drive on a loop
// device, the real mount, umount and rsync, the window driven through its
// device event, its buttons and the Escape key, every box answered.

#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "export/backgroundjob.h"
#include "sync/syncmanager.h"
#include "ui/mainwindow.h"

#include <QApplication>
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

#include <csignal>
#include <cstdio>
#include <memory>

using namespace TestSupport;

namespace {

const QString kMedia("/media/zozadoz");
const QString kRecordings("/media/zozadoz/record/record");
const QString kDatabase("/media/zozadoz/record/alarms.db");
const QString kMountPoint("/media/zozadoz/usb_backup");
const QString kTarget("/media/zozadoz/usb_backup/rec01");
const QString kOutside("/media/zozadoz/outside");
constexpr int kCopyTimeoutMs = 120000;

// Helpers report failures through QVERIFY; the caller leaves the test then.
#define CHECKED(call)                   \
    do {                                \
        call;                           \
        if (QTest::currentTestFailed()) \
            return;                     \
    } while (false)

// `files` recordings over three channels and two days, hidden entries that an
// export leaves behind, and the alarm database.
void makeRecordings(int files, int fileKiB)
{
    QDir(kMedia + "/record").removeRecursively();
    for (int i = 0; i < files; ++i)
        writeFile(QString("%1/ch%2/2024-05-0%3/%4.mp4").arg(kRecordings).arg(i % 3 + 1).arg(i / 3 % 2 + 1).arg(i),
                  randomBytes(fileKiB * 1024));
    for (const char *hidden : {"/.index", "/.thumbs/a.jpg", "/ch1/.part.mp4"})
        writeFile(kRecordings + hidden, "hidden");
    writeFile(kDatabase, randomBytes(64 * 1024));
}

// What the export directory gets wrong about the recordings: a file under its
// final name that differs from its source or has none, a hidden entry, and
// (unless `partial`) a missing recording. rsync writes into hidden temporary
// files, so a cut-off copy may leave one; the database is checked apart.
QStringList differences(bool partial)
{
    QStringList problems;
    QDirIterator onDrive(kTarget, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (onDrive.hasNext()) {
        const QString relative = onDrive.next().mid(kTarget.size() + 1);
        const QString source = kRecordings + '/' + relative;
        if (relative.startsWith('.') || relative.contains("/.")) {
            if (!partial)
                problems << "hidden entry: " + relative;
        } else if (relative != "alarms.db" && (!QFile::exists(source) || checksum(source) != checksum(onDrive.filePath()))) {
            problems << "differs from its source: " + relative;
        }
    }
    QDirIterator source(kRecordings, QDir::Files, QDirIterator::Subdirectories);
    while (!partial && source.hasNext()) {
        const QString relative = source.next().mid(kRecordings.size() + 1);
        if (!QFile::exists(kTarget + '/' + relative))
            problems << "missing: " + relative;
    }
    return problems;
}

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
enum class Plant { Nothing, HostLink, DatabaseLink };
Q_DECLARE_METATYPE(Interruption)
Q_DECLARE_METATYPE(Plant)

class ExportTest : public QObject
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
    void fitCheck_data();
    void fitCheck();
    void errorReport_data();
    void errorReport();
    void recordingsDeletedDuringCopy();
    void fileSystems_data();
    void fileSystems();

private:
    void openWindow() { m_window = std::make_unique<MainWindow>(); m_window->show(); }
    void makeDrive(qint64 sizeMiB, const QString &fileSystem = QStringLiteral("ext4"))
    {
        m_drive = std::make_unique<LoopDrive>(sizeMiB, fileSystem);
        QVERIFY2(m_drive->isValid(), qPrintable(m_drive->errorString()));
    }
    void addDrive();
    void click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    // 开始复制, and the wait for its look at the drive, which runs in the
    // background: after it, the copy runs or a box has been answered.
    void clickStart()
    {
        click("startButton");
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->findChild<BackgroundJob *>("planJob")->isRunning(), kCopyTimeoutMs);
    }
    // A later export straight through the slot the start button is wired to.
    void startAgain()
    {
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartSync"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->findChild<BackgroundJob *>("planJob")->isRunning(), kCopyTimeoutMs);
    }
    void expectEnded(const QString &status);
    void exitAndExpectUnmounted();
    QString status() const { return m_window->findChild<QLabel *>("statusLabel")->text(); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }

    std::unique_ptr<LogRecorder> m_log;
    std::unique_ptr<BoxAnswerer> m_boxes;
    std::unique_ptr<FakePrograms> m_scripts;
    std::unique_ptr<LoopDrive> m_drive;
    std::unique_ptr<MainWindow> m_window;
};

void ExportTest::initTestCase()
{
    REQUIRE_SANDBOX();
    QApplication::setQuitOnLastWindowClosed(false);
    Settings::instance().configFile = "/etc/orveld/monitor.ini";
    m_log = std::make_unique<LogRecorder>();
}

void ExportTest::init()
{
    writeMonitorIni(QByteArray());
    writeMediaServerIni(QByteArray());
    writeHostname("rec01\n");
    QDir(kOutside).removeRecursively();
    writeFile(kOutside + "/victim.db", "the recorder's own file");
    m_log->clear();
    m_boxes = std::make_unique<BoxAnswerer>();
    m_scripts = std::make_unique<FakePrograms>();
}

void ExportTest::cleanup()
{
    // Whatever a failed test left running or mounted must not spoil the next.
    SyncManager::instance().stopSync();
    for (int attempt = 0; attempt < 50 && DeviceManager::instance().isMounted(); ++attempt) {
        if (!DeviceManager::instance().unmountDevice())
            QTest::qWait(100);
    }
    quitWasPending(100);
    m_window.reset();
    m_drive.reset();
    m_scripts.reset();
    m_boxes.reset();
}

void ExportTest::addDrive()
{
    m_window->handleDeviceEvent(m_drive->kernelName(), "add");
    QVERIFY2(DeviceManager::instance().isMounted(), qPrintable(m_log->dump()));
    QTRY_COMPARE(status(), QString("U盘就绪"));
    QVERIFY(button("startButton")->isEnabled());
}

void ExportTest::expectEnded(const QString &status)
{
    QCOMPARE(this->status(), status);
    QVERIFY(!SyncManager::instance().isSyncing());
    QVERIFY(!button("stopButton")->isEnabled());
    QVERIFY(button("exitButton")->isEnabled());
}

void ExportTest::exitAndExpectUnmounted()
{
    click("exitButton");
    QVERIFY(!DeviceManager::instance().isMounted());
    QVERIFY(run("findmnt", {"-n", m_drive->device()}) != 0 && run("findmnt", {"-n", kMountPoint}) != 0);
    QCOMPARE(status(), QString("请插入U盘"));
    QVERIFY(quitWasPending());
    QByteArray report;
    QVERIFY2(m_drive->fsckClean(&report), report.constData());
}

void ExportTest::happyPathThenSecondExport()
{
    makeRecordings(12, 2048);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    const QByteArray firstDatabase = readFile(kDatabase);
    QSignalSpy progress(&SyncManager::instance(), &SyncManager::syncProgress);
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    QSignalSpy bar(m_window->findChild<QProgressBar *>(), &QProgressBar::valueChanged);
    chainedHandler = qInstallMessageHandler(timeFlush);
    clickStart();
    const bool ended = QTest::qWaitFor([&] { return !finished.isEmpty(); }, kCopyTimeoutMs);
    qInstallMessageHandler(chainedHandler);
    QVERIFY(ended);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m_log->dump()));
    std::printf("the flush after copying 24 MiB to the loop drive took %lld ms\n", flushMs);
    QVERIFY(!progress.isEmpty());
    for (const QList<QVariant> &value : progress)
        QVERIFY(value.at(0).toInt() >= 0 && value.at(0).toInt() <= 100);
    QCOMPARE(m_window->findChild<QProgressBar *>()->value(), progress.last().at(0).toInt());
    // The bar shows the whole export: it never goes back and reaches 100 at the end only.
    QVERIFY(bar.size() >= 2);
    for (int i = 1; i < bar.size(); ++i)
        QVERIFY2(bar.at(i).at(0).toInt() >= bar.at(i - 1).at(0).toInt(), qPrintable(QString::number(i)));
    QCOMPARE(bar.last().at(0).toInt(), 100);
    QCOMPARE(std::count_if(bar.cbegin(), bar.cend(), [](const QList<QVariant> &v) { return v.at(0).toInt() == 100; }), 1);
    QVERIFY2(m_window->findChild<QLabel *>("progressLabel")->text().startsWith("已复制 24.00 MB，用时 "),
             qPrintable(m_window->findChild<QLabel *>("progressLabel")->text()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).title, QString("完成"));
    QCOMPARE(m_boxes->boxes().at(0).text, QString("文件复制完成"));
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
    QCOMPARE(m_log->count(QtInfoMsg, "待复制: 1 个文件, \"300.00 KB\""), 1);
    QVERIFY2(finished.at(1).at(0).toBool(), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(differences(false), QStringList());
    QCOMPARE(readFile(kTarget + "/alarms.db"), firstDatabase);
    exitAndExpectUnmounted();
}

void ExportTest::driveFillsUp()
{
    makeRecordings(8, 4096);
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    QSignalSpy started(&SyncManager::instance(), &SyncManager::syncStarted);
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    // 32 MiB of recordings for a 16 MiB drive: asked first, and told to go on.
    m_boxes->queueAnswer(QMessageBox::Yes);
    clickStart();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    CHECKED(expectEnded("复制失败"));
    QCOMPARE(m_boxes->count(), 2); // the question, then one report of all errors
    QCOMPARE(m_boxes->boxes().at(0).title, QString("确认"));
    QVERIFY2(m_boxes->boxes().at(0).text.startsWith("U盘空间不足：还需复制 32.06 MB，U盘可用空间 "),
             qPrintable(m_boxes->boxes().at(0).text));
    QCOMPARE(m_boxes->boxes().at(1).title, QString("错误"));
    const QString shown = m_boxes->boxes().at(1).text;
    QVERIFY2(shown.contains("No space left on device"), qPrintable(shown));
    QCOMPARE(differences(true), QStringList());

    // Nothing is left stuck: a later export starts (and fails on the full drive).
    QVERIFY(button("startButton")->isEnabled());
    m_boxes->queueAnswer(QMessageBox::Yes);
    clickStart();
    QCOMPARE(started.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(differences(true), QStringList());
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
    QSignalSpy progress(&SyncManager::instance(), &SyncManager::syncProgress);
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    clickStart();
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 20000);

    if (how == Interruption::Kill) {
        ::kill(pid_t(m_scripts->pid("slow-rsync")), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(m_log->count(QtCriticalMsg, "同步进程崩溃"), 1);
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
    QCOMPARE(finished.at(0).at(0).toBool(), false);
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
    QVERIFY2(finished.at(1).at(0).toBool(), qPrintable(m_log->dump()));
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
    QVERIFY(m_drive->unmountFrom(prepared));
    writeHostname(hostName + '\n');
    openWindow();
    CHECKED(addDrive());
    const QMap<QString, QByteArray> outsideBefore = snapshot(kMedia, true, kMountPoint);
    const QMap<QString, QByteArray> driveBefore = snapshot(kMountPoint);

    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    clickStart();
    if (refused) {
        QCOMPARE(m_boxes->texts(), QStringList{"创建主机名目录失败"});
        QCOMPARE(m_log->countStartingWith(QtInfoMsg, "开始同步"), 0);
        QVERIFY(!SyncManager::instance().isSyncing());
        QCOMPARE(snapshot(kMountPoint), driveBefore);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
        QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m_log->dump()));
        QVERIFY(QFileInfo(kTarget + "/alarms.db").isSymLink());
        QCOMPARE(differences(false), QStringList());
    }
    QCOMPARE(snapshot(kMedia, true, kMountPoint), outsideBefore);
    exitAndExpectUnmounted();
}

// The recordings against the drive's free space, before anything is written.
void ExportTest::fitCheck_data()
{
    QTest::addColumn<int>("files");       // recordings of 4 MiB each, on a 32 MiB drive
    QTest::addColumn<int>("onDrive");     // of them already exported before
    QTest::addColumn<bool>("asked");
    QTest::newRow("fits: no question") << 2 << 0 << false;
    QTest::newRow("too large: No leaves the drive untouched") << 8 << 0 << true;
    QTest::newRow("fits once the drive's copies are counted") << 5 << 4 << false;
}

void ExportTest::fitCheck()
{
    QFETCH(int, files);
    QFETCH(int, onDrive);
    QFETCH(bool, asked);
    makeRecordings(onDrive, 4096);
    openWindow();
    CHECKED(makeDrive(32));
    CHECKED(addDrive());
    if (onDrive > 0) {
        QSignalSpy first(&SyncManager::instance(), &SyncManager::syncFinished);
        clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(first.count(), 1, kCopyTimeoutMs);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QVERIFY(first.at(0).at(0).toBool());
        m_boxes->clear();
        // Older recordings stay, new ones join them: only these are still to copy.
        for (int i = onDrive; i < files; ++i)
            writeFile(QString("%1/ch9/%2.mp4").arg(kRecordings).arg(i), randomBytes(4096 * 1024));
    } else {
        makeRecordings(files, 4096);
    }
    const QMap<QString, QByteArray> before = snapshot(kMountPoint);
    QSignalSpy started(&SyncManager::instance(), &SyncManager::syncStarted);
    if (asked)
        m_boxes->queueAnswer(QMessageBox::No);
    clickStart();
    QTRY_VERIFY(!QApplication::activeModalWidget());
    const QList<BoxAnswerer::Box> boxes = m_boxes->boxes();
    QVERIFY2(std::count_if(boxes.cbegin(), boxes.cend(), [](const BoxAnswerer::Box &box) { return box.title == "确认"; })
                     == (asked ? 1 : 0),
             qPrintable(m_boxes->texts().join('\n')));
    if (asked) {
        QCOMPARE(m_boxes->boxes().at(0).title, QString("确认"));
        QVERIFY2(m_boxes->boxes().at(0).text.contains(QRegularExpression(
                         "^U盘空间不足：还需复制 32.06 MB，U盘可用空间 \\d+\\.\\d\\d MB。仍要复制吗？$")),
                 qPrintable(m_boxes->boxes().at(0).text));
        QCOMPARE(started.count(), 0);
        QCOMPARE(snapshot(kMountPoint), before);
        QCOMPARE(status(), QString("U盘就绪"));
        QVERIFY(button("startButton")->isEnabled());
    } else {
        QCOMPARE(started.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!SyncManager::instance().isSyncing(), kCopyTimeoutMs);
        CHECKED(expectEnded("复制完成"));
    }
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
                                 "at main.c(1338) [sender=3.2.7]";
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
    writeMonitorIni("[System]\nRsyncPath=" + m_scripts->install("rsync", "rsync-errors.sh").toUtf8() + '\n');
    makeRecordings(3, 4);
    openWindow();
    CHECKED(makeDrive(16));
    CHECKED(addDrive());
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
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
    QCOMPARE(finished.at(0).at(0).toBool(), success);
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
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    clickStart();
    QTRY_VERIFY(m_log->countStartingWith(QtDebugMsg, "Rsync输出：") > 0 && m_log->dump().contains("2024-05-01/0.mp4"));
    QVERIFY(QFile::remove(day + "z2.mp4") && QFile::remove(day + "z3.mp4"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m_log->dump()));
    CHECKED(expectEnded("复制完成"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).text, QString("文件复制完成\n复制期间录像机删除了 2 个录像文件，导出包含其余全部录像。"));
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
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    for (int round = 1; round <= 2; ++round) {
        m_log->clear();
        QElapsedTimer clock;
        clock.start();
        clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), round, kCopyTimeoutMs);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        std::printf("%s export %d: %lld ms\n", qPrintable(fileSystem), round, clock.elapsed());
        QVERIFY2(finished.last().at(0).toBool(), qPrintable(m_log->dump()));
        CHECKED(expectEnded("复制完成"));
        QCOMPARE(m_log->count(QtInfoMsg, "U盘文件系统: \"" + found + '"'), 1);
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
            QCOMPARE(m_log->count(QtInfoMsg, "待复制: 0 个文件, \"0 B\""), 1);
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

QTEST_MAIN(ExportTest)
#include "tst_export.moc"
