#pragma once

// Shared fixture of the test suite: the private sandbox, real loop-device
// drives, fake programs, a log recorder and a modal box answerer.

#include <QDialogButtonBox>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGlobal>

namespace TestSupport {

// True inside tests/sandbox.sh as root: the fixed paths are the sandbox's own
// and drives may be mounted.
bool inSandbox();
QString sandboxSkipReason();

// Writes `content` to `path`, creating missing directories; false on failure.
bool writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// Runs a program with arguments and waits (bounded); returns its exit code, or
// -1 when it could not run or did not end in time. Output is kept in `output`.
int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
        int timeoutMs = 60000);

// Writes the monitor INI file (/etc/orveld/monitor.ini) and the media server
// INI file (/etc/zlmedia/config.ini) inside the sandbox. An empty content
// removes the file.
void writeMonitorIni(const QByteArray &content);
void writeMediaServerIni(const QByteArray &content);
void writeHostname(const QByteArray &content);

// A file system image (ext4 unless told otherwise: "exfat", "ntfs", "vfat"
// for FAT32) attached to a free loop device. The device is detached (and any
// leftover mount on it removed) when the object goes away.
class LoopDrive
{
public:
    explicit LoopDrive(qint64 sizeMiB = 64, const QString &fileSystem = QStringLiteral("ext4"));
    // The program that makes such a file system, e.g. "mkfs.exfat".
    static QString formatProgram(const QString &fileSystem);
    ~LoopDrive();
    LoopDrive(const LoopDrive &) = delete;
    LoopDrive &operator=(const LoopDrive &) = delete;

    bool isValid() const { return !m_device.isEmpty(); }
    QString errorString() const { return m_error; }
    QString device() const { return m_device; }          // "/dev/loopN"
    QString kernelName() const;                          // "loopN"
    QString imagePath() const { return m_image; }
    // Mounts the image elsewhere (outside the tool) to prepare or inspect it,
    // as `mount DEV DIR` or, given a type, `mount -t TYPE DEV DIR`.
    bool mountAt(const QString &path, const QString &type = QString());
    bool unmountFrom(const QString &path);
    // e2fsck -fn on the image (ext4 only); true when the file system is clean.
    bool fsckClean(QByteArray *report = nullptr) const;

private:
    QTemporaryDir m_dir;
    QString m_fileSystem;
    QString m_image;
    QString m_device;
    QString m_error;
};

// A directory of small fake programs placed first on PATH while it lives.
class FakePrograms
{
public:
    FakePrograms();
    ~FakePrograms();
    // Writes an executable shell script `name` with the given body (without
    // the "#!/bin/sh" line) and returns its path.
    QString add(const QString &name, const QByteArray &body);
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

// Records every message of the Qt message log while it lives.
class LogRecorder
{
public:
    struct Line {
        QtMsgType type;
        QString text;
    };
    LogRecorder();
    ~LogRecorder();
    QList<Line> lines() const;
    void clear();
    // Number of lines of that type whose text equals `text` exactly.
    int count(QtMsgType type, const QString &text) const;
    // Number of lines of that type whose text starts with `prefix`.
    int countStartingWith(QtMsgType type, const QString &prefix) const;
    // Index of the first line (at or after `from`) starting with `prefix`, -1 if none.
    int indexOf(const QString &prefix, int from = 0) const;
    QString dump() const;
};

// Answers modal message boxes: every `intervalMs` it looks for the active
// modal widget; when it is a QMessageBox it records its title and text and
// presses the next queued answer (or the default answer).
class BoxAnswerer : public QObject
{
    Q_OBJECT
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };
    explicit BoxAnswerer(QMessageBox::StandardButton defaultAnswer = QMessageBox::Ok, int intervalMs = 20);
    void queueAnswer(QMessageBox::StandardButton answer) { m_answers.append(answer); }
    QList<Box> boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }
    QStringList texts() const;
    void clear() { m_boxes.clear(); }

private:
    void check();

    QTimer m_timer;
    QMessageBox::StandardButton m_defaultAnswer;
    QList<QMessageBox::StandardButton> m_answers;
    QList<Box> m_boxes;
};

} // namespace TestSupport

// Skips the current test when the sandbox (root, mount namespace) is missing.
#define REQUIRE_SANDBOX()                                                           \
    do {                                                                            \
        if (!TestSupport::inSandbox())                                              \
            QSKIP(qPrintable(TestSupport::sandboxSkipReason()));                    \
    } while (false)
