#include "exportfixture.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "sync/syncmanager.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTest>

#include <algorithm>
#include <iterator>
#include <limits>

namespace TestSupport {

bool isExportFile(const QString &relative)
{
    // The tool's own files, and earlier copies of them under their dates.
    static const char *const own[] = {"alarms", "SHA256SUMS", "导出记录", "recordings", "index",
                                      "export_signing_key", "allowed_signers"};
    return !relative.contains('/') && std::any_of(std::begin(own), std::end(own), [&relative](const char *name) {
        return relative.startsWith(QString::fromUtf8(name));
    });
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

// `cameras` folders ch1.. of one recording per hour for `hours` hours, the
// last about an hour ago; returns the time of hour 0 (a whole minute). The
// camera number is added in seconds, so that no two share a time.
qint64 makeTimedRecordings(int cameras, int hours, int fileKiB, bool fresh)
{
    if (fresh)
        QDir(kMedia + "/record").removeRecursively();
    const qint64 base = (QDateTime::currentSecsSinceEpoch() - (hours + 1) * 3600) / 60 * 60;
    for (int camera = 1; camera <= cameras; ++camera) {
        for (int hour = 0; hour < hours; ++hour) {
            const QString path = QString("%1/ch%2/%3.mp4").arg(kRecordings).arg(camera).arg(hour);
            if (QFile::exists(path))
                continue;
            writeFile(path, randomBytes(fileKiB * 1024));
            QFile file(path);
            file.open(QIODevice::ReadWrite);
            file.setFileTime(QDateTime::fromSecsSinceEpoch(base + hour * 3600 + camera), QFileDevice::FileModificationTime);
        }
    }
    if (fresh)
        writeFile(kDatabase, randomBytes(64 * 1024));
    return base;
}

// The recordings in the export directory, relative and sorted.
QStringList landedRecordings()
{
    QStringList landed;
    QDirIterator it(kTarget, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = it.next().mid(kTarget.size() + 1);
        if (!isExportFile(relative))
            landed << relative;
    }
    landed.sort();
    return landed;
}

qint64 oldestTime(const QStringList &relative)
{
    qint64 oldest = std::numeric_limits<qint64>::max();
    for (const QString &path : relative)
        oldest = qMin(oldest, QFileInfo(kRecordings + '/' + path).lastModified().toSecsSinceEpoch());
    return oldest;
}

// The recordings written at `time` or later, relative and sorted.
QStringList recordingsFrom(qint64 time)
{
    QStringList found;
    QDirIterator it(kRecordings, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().lastModified().toSecsSinceEpoch() >= time)
            found << path.mid(kRecordings.size() + 1);
    }
    found.sort();
    return found;
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
        } else if (!isExportFile(relative) && (!QFile::exists(source) || checksum(source) != checksum(onDrive.filePath()))) {
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

void ExportFixture::setUpOnce()
{
    QApplication::setQuitOnLastWindowClosed(false);
    useMonitorConfig();
    m_log = std::make_unique<LogRecorder>();
}

void ExportFixture::setUp()
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

void ExportFixture::tearDown()
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
    m_slow.reset();
    m_scripts.reset();
    m_boxes.reset();
}

void ExportFixture::addDrive(const QString &kernelName)
{
    m_window->handleDeviceEvent(kernelName.isEmpty() ? m_drive->kernelName() : kernelName, "add");
    QVERIFY2(DeviceManager::instance().isMounted(), qPrintable(m_log->dump()));
    QTRY_COMPARE(status(), QString("U盘就绪"));
    QVERIFY(button("startButton")->isEnabled());
}

void ExportFixture::expectEnded(const QString &status)
{
    QCOMPARE(this->status(), status);
    QVERIFY(!SyncManager::instance().isSyncing());
    QVERIFY(!button("stopButton")->isEnabled());
    QVERIFY(button("exitButton")->isEnabled());
}

void ExportFixture::exitAndExpectUnmounted()
{
    click("exitButton");
    QVERIFY(!DeviceManager::instance().isMounted());
    QVERIFY(run("findmnt", {"-n", m_drive->device()}) != 0 && run("findmnt", {"-n", kMountPoint}) != 0);
    QCOMPARE(status(), QString("请插入U盘"));
    QVERIFY(quitWasPending());
    QByteArray report;
    QVERIFY2(m_drive->fsckClean(&report), report.constData());
}


void ExportFixture::openWindow()
{
    m_window = std::make_unique<MainWindow>();
    m_window->show();
}

void ExportFixture::makeDrive(qint64 sizeMiB, const QString &fileSystem)
{
    m_drive = std::make_unique<LoopDrive>(sizeMiB, fileSystem);
    QVERIFY2(m_drive->isValid(), qPrintable(m_drive->errorString()));
}

void ExportFixture::click(const char *name)
{
    QTest::mouseClick(button(name), Qt::LeftButton);
}

void ExportFixture::clickStart()
{
    click("startButton");
    QTRY_VERIFY_WITH_TIMEOUT(session()->state() != ExportSession::Planning, kCopyTimeoutMs);
}

void ExportFixture::startAgain()
{
    QVERIFY(QMetaObject::invokeMethod(m_window.get(), "onStartSync"));
    QTRY_VERIFY_WITH_TIMEOUT(session()->state() != ExportSession::Planning, kCopyTimeoutMs);
}

void ExportFixture::chooseSpan(Span span)
{
    auto *box = m_window->findChild<QComboBox *>("spanBox");
    const int index = box->findData(int(span));
    box->setCurrentIndex(index);
    emit box->activated(index);
}

ExportVerdict ExportFixture::verdictOf(const QSignalSpy &spy, int i)
{
    return spy.value(i).value(0).value<ExportVerdict>();
}

QString ExportFixture::status() const
{
    return m_window->findChild<QLabel *>("statusLabel")->text();
}

QPushButton *ExportFixture::button(const char *name) const
{
    return m_window->findChild<QPushButton *>(name);
}

} // namespace TestSupport
