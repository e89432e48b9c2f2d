// The whole export inside the test process: a real ext4 drive on a loop
// device, the real mount, umount and rsync, the window driven through its
// device event, its buttons and the Escape key, every box answered.

#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "sync/syncmanager.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLabel>
#include <QMap>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
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

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray checksum(const QString &path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Md5).toHex();
}

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

// Every entry below `root` (links not followed) with its kind and checksum,
// leaving out the subtree `skip`.
QMap<QString, QByteArray> snapshot(const QString &root, const QString &skip = QString())
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (skip.isEmpty() || (path != skip && !path.startsWith(skip + '/')))
            entries.insert(path, it.fileInfo().isSymLink() ? "link " + it.fileInfo().symLinkTarget().toUtf8()
                                 : it.fileInfo().isDir() ? QByteArray("dir") : checksum(path));
    }
    return entries;
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

// Runs the event loop until a queued quit ends it or `failSafeMs` pass; true
// when a quit was pending. A quit left pending would end the next wait.
bool quitWasPending(int failSafeMs = 3000)
{
    QTimer failSafe;
    failSafe.setSingleShot(true);
    QObject::connect(&failSafe, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    failSafe.start(failSafeMs);
    return QCoreApplication::exec() == 0;
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

private:
    void openWindow() { m_window = std::make_unique<MainWindow>(); m_window->show(); }
    void makeDrive(qint64 sizeMiB)
    {
        m_drive = std::make_unique<LoopDrive>(sizeMiB);
        QVERIFY2(m_drive->isValid(), qPrintable(m_drive->errorString()));
    }
    void addDrive();
    void click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    // After a finished copy the start button stays disabled until the drive
    // is added again; a later export goes through the slot it is wired to.
    void startAgain() { QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartSync")); }
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
    chainedHandler = qInstallMessageHandler(timeFlush);
    click("startButton");
    const bool ended = QTest::qWaitFor([&] { return !finished.isEmpty(); }, kCopyTimeoutMs);
    qInstallMessageHandler(chainedHandler);
    QVERIFY(ended);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m_log->dump()));
    std::printf("the flush after copying 24 MiB to the loop drive took %lld ms\n", flushMs);
    QVERIFY(!progress.isEmpty());
    for (const QList<QVariant> &value : progress)
        QVERIFY(value.at(0).toInt() >= 0 && value.at(0).toInt() <= 100);
    QCOMPARE(m_window->findChild<QProgressBar *>()->value(), progress.last().at(0).toInt());
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
    CHECKED(startAgain());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kCopyTimeoutMs);
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
    click("startButton");
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kCopyTimeoutMs);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    CHECKED(expectEnded("复制失败"));
    QVERIFY(m_boxes->count() > 0);
    for (const BoxAnswerer::Box &box : m_boxes->boxes())
        QCOMPARE(box.title, QString("错误"));
    const QString shown = m_boxes->texts().join('\n');
    QVERIFY2(shown.contains("No space left on device"), qPrintable(shown));
    QCOMPARE(differences(true), QStringList());

    // Nothing is left stuck: a later export starts (and fails on the full drive).
    CHECKED(startAgain());
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
    const QString pidFile = m_scripts->path() + "/rsync.pid";
    const QString slowRsync = m_scripts->add("slow-rsync", "echo $$ > '" + pidFile.toUtf8()
                                                                   + "'\nexec /usr/bin/rsync --bwlimit=1024 \"$@\"");
    writeMonitorIni("[System]\nRsyncPath=" + slowRsync.toUtf8() + '\n');
    makeRecordings(8, 1024);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    QSignalSpy progress(&SyncManager::instance(), &SyncManager::syncProgress);
    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    click("startButton");
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), 20000);

    if (how == Interruption::Kill) {
        ::kill(readFile(pidFile).trimmed().toInt(), SIGKILL);
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
    const QMap<QString, QByteArray> outsideBefore = snapshot(kMedia, kMountPoint);
    const QMap<QString, QByteArray> driveBefore = snapshot(kMountPoint);

    QSignalSpy finished(&SyncManager::instance(), &SyncManager::syncFinished);
    click("startButton");
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
    QCOMPARE(snapshot(kMedia, kMountPoint), outsideBefore);
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
