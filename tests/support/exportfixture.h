#pragma once

// The fixture of the tests that export through the window, as a person does,
// on a real drive: the window, its boxes answered, the log recorded, fake
// programs, the drive, and what the tests look at on it.

#include "testsupport.h"

#include "export/exportsession.h"
#include "ui/mainwindow.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

#include <memory>

namespace TestSupport {

inline const QString kMedia("/media/zozadoz");
inline const QString kRecordings("/media/zozadoz/record/record");
inline const QString kDatabase("/media/zozadoz/record/alarms.db");
inline const QString kMountPoint("/media/zozadoz/usb_backup");
inline const QString kTarget("/media/zozadoz/usb_backup/rec01");
inline const QString kOutside("/media/zozadoz/outside");
inline constexpr int kCopyTimeoutMs = 120000;

// Helpers report failures through QVERIFY; the caller leaves the test then.
#define CHECKED(call)                   \
    do {                                \
        call;                           \
        if (QTest::currentTestFailed()) \
            return;                     \
    } while (false)


// `files` recordings over three channels and two days, hidden entries that an
// export leaves behind, and the alarm database.
void makeRecordings(int files, int fileKiB);
// `cameras` folders ch1.. of one recording per hour for `hours` hours, the
// last about an hour ago; returns the time of hour 0 (a whole minute). The
// camera number is added in seconds, so that no two share a time.
qint64 makeTimedRecordings(int cameras, int hours, int fileKiB, bool fresh = true);
// The recordings in the export directory, relative and sorted.
QStringList landedRecordings();
qint64 oldestTime(const QStringList &relative);
// The recordings written at `time` or later, relative and sorted.
QStringList recordingsFrom(qint64 time);
// What the export directory gets wrong about the recordings: a file under its
// final name that differs from its source or has none, a hidden entry, and
// (unless `partial`) a missing recording. rsync writes into hidden temporary
// files, so a cut-off copy may leave one; the database is checked apart.
QStringList differences(bool partial);

// A file the export itself puts into the export directory (the database's
// snapshot, the manifest, the record), not a recording.
bool isExportFile(const QString &relative);

// The window and its drive. A test class derives from it as well as from
// QObject and calls setUpOnce() from initTestCase() (after REQUIRE_SANDBOX()),
// setUp() from init() and tearDown() from cleanup().
class ExportFixture
{
protected:
    void setUpOnce();
    void setUp();
    void tearDown();

    void openWindow();
    void makeDrive(qint64 sizeMiB, const QString &fileSystem = QStringLiteral("ext4"));
    // The "add" of the fixture's drive, or of `kernelName`, and the count.
    void addDrive(const QString &kernelName = QString());
    void click(const char *name);
    // 开始复制, and the wait for its look at the drive, which runs in the
    // background: after it, the copy runs or a box has been answered.
    void clickStart();
    // A later export straight through the slot the start button is wired to.
    void startAgain();
    // Picks a span in the window as a person does.
    void chooseSpan(Span span);
    void expectEnded(const QString &status);
    void exitAndExpectUnmounted();
    QString status() const;
    QPushButton *button(const char *name) const;
    ExportSession *session() const { return m_window->exportSession(); }
    // The verdict of emission `i` of a spy on ExportSession::finished, and
    // whether that export succeeded (copied and verified).
    static ExportVerdict verdictOf(const QSignalSpy &spy, int i);
    static bool succeeded(const QSignalSpy &spy, int i) { return verdictOf(spy, i).success; }

    std::unique_ptr<LogRecorder> m_log;
    std::unique_ptr<BoxAnswerer> m_boxes;
    std::unique_ptr<FakePrograms> m_scripts;
    std::unique_ptr<LoopDrive> m_drive;
    std::unique_ptr<SlowDrive> m_slow;
    std::unique_ptr<MainWindow> m_window;
};

} // namespace TestSupport
