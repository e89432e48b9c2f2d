#pragma once

// Shared fixture of the test suite: the private sandbox, real loop-device
// drives, fake programs, a log recorder, a modal box answerer, and the small
// helpers more than one test needs (random data, tree snapshots, a bounded
// event loop).

#include <QDialogButtonBox>
#include <QList>
#include <QMap>
#include <QMessageBox>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGlobal>

#include <memory>

class QProcess;

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
// Points the tool's settings at that monitor INI file, as main() does.
void useMonitorConfig();
void writeMediaServerIni(const QByteArray &content);
void writeHostname(const QByteArray &content);

// Mounts `device` at `path` (made when missing) outside the tool, as
// `mount DEV DIR` or, given a type, `mount -t TYPE DEV DIR`; the drive
// classes below share it.
bool mountDeviceAt(const QString &device, const QString &path, const QString &type = QString());
// Ends an nbdfuse server (with its nbdkit) whose file was attached to a loop
// device that has been detached: unmounts its FUSE mount `fuseDir`, waits,
// and kills what is left.
void stopNbdfuse(QProcess &server, const QString &fuseDir);

// What every test drive shares: a loop device in the sandbox, mounted
// elsewhere (outside the tool) to prepare or inspect it, and its end: every
// leftover mount of it removed, the device detached, and the nbdfuse server
// behind it, if any, stopped.
class TestDrive
{
public:
    virtual ~TestDrive();
    TestDrive(const TestDrive &) = delete;
    TestDrive &operator=(const TestDrive &) = delete;

    bool isValid() const { return !m_device.isEmpty(); }
    QString errorString() const { return m_error; }
    QString device() const { return m_device; }          // "/dev/loopN"
    QString kernelName() const;                          // "loopN"
    // As `mount DEV DIR` or, given a type, `mount -t TYPE DEV DIR`.
    bool mountAt(const QString &path, const QString &type = QString());
    bool unmountFrom(const QString &path);

protected:
    TestDrive() = default;

    QTemporaryDir m_dir;
    QString m_attached;                  // the loop device to detach
    QString m_device;                    // the device a test uses, once ready
    QString m_error;
    std::unique_ptr<QProcess> m_server;  // nbdfuse, with nbdkit as its child
    QString m_fuseDir;
};

// A file system image (ext4 unless told otherwise: "exfat", "ntfs", "vfat"
// for FAT32) attached to a free loop device. The device is detached (and any
// leftover mount on it removed) when the object goes away.
class LoopDrive : public TestDrive
{
public:
    explicit LoopDrive(qint64 sizeMiB = 64, const QString &fileSystem = QStringLiteral("ext4"));
    // The program that makes such a file system, e.g. "mkfs.exfat".
    static QString formatProgram(const QString &fileSystem);

    QString imagePath() const { return m_image; }
    // The file system's own checker on the image, reading only (e2fsck -fn,
    // fsck.exfat -n, ntfsfix -n, fsck.vfat -n); true when it is clean.
    bool fsckClean(QByteArray *report = nullptr) const;

private:
    QString m_fileSystem;
    QString m_image;
};

// A real block device as slow as a cheap USB stick: nbdkit's memory plugin
// behind its rate filter, run by nbdfuse, which shows it as a file in a FUSE
// mount of its own; that file is attached to a loop device with direct I/O
// (so that no page cache of the backing file hides the slowness) and formatted
// ext4. The memory plugin keeps only what is written, so a large drive costs
// no more memory than the data put on it; it should be large, because ext4
// stops delaying allocation and writes synchronously once the dirty data
// nears its free space, which no real stick of today's size does. The loop
// device, the FUSE mount, nbdfuse and nbdkit go away with the object.
class SlowDrive : public TestDrive
{
public:
    explicit SlowDrive(qint64 sizeMiB = 1024, qint64 bytesPerSecond = 10 * 1000 * 1000);

    qint64 bytesPerSecond() const { return m_bytesPerSecond; }

private:
    qint64 m_bytesPerSecond;
};

// A directory of fake programs placed first on PATH, and named in FAKE_DIR,
// while it lives. The fakes are the scripts of tests/fakes/, linked under the
// name a test needs; PATH, FAKE_DIR and every variable set by configure() are
// restored when the object goes away.
class FakePrograms
{
public:
    FakePrograms();
    ~FakePrograms();
    FakePrograms(const FakePrograms &) = delete;
    FakePrograms &operator=(const FakePrograms &) = delete;
    // Links tests/fakes/<fake> here as `name`; returns its path.
    QString install(const QString &name, const QString &fake = QStringLiteral("program.sh"));
    // Clears the settings of the fake `name` and sets FAKE_<NAME>_<SETTING>
    // for each "SETTING=value" (FAKE_<SETTING> for an empty name); see
    // tests/fakes/program.sh.
    void configure(const QString &name, const QStringList &settings);
    QString path() const { return m_dir.path(); }
    // The calls the fakes recorded in `dir` as "<name> <arguments>" lines;
    // with a `program`, its lines alone without the name.
    static QByteArray callsIn(const QString &dir, const QString &program = QString());
    QByteArray calls(const QString &program = QString()) const { return callsIn(path(), program); }
    // The process id a fake left in "<name>.pid", 0 if none.
    qint64 pid(const QString &name) const;
    // True when every fake that hung (and left its pid) has been killed and reaped.
    bool hangersGone() const;

private:
    void setEnv(const QByteArray &name, const QByteArray *value);

    QTemporaryDir m_dir;
    QMap<QByteArray, QByteArray> m_savedEnv; // variable -> value before, null when unset
};

// An alarm database in rollback-journal mode at `path`, held under an
// exclusive lock by another process (the sqlite3 shell, in a transaction it
// never ends) while the object lives, as the recorder's writer holds it.
class LockedDatabase
{
public:
    explicit LockedDatabase(const QString &path);
    ~LockedDatabase();
    LockedDatabase(const LockedDatabase &) = delete;
    LockedDatabase &operator=(const LockedDatabase &) = delete;
    // True once the lock is held.
    bool isLocked() const { return m_locked; }

private:
    std::unique_ptr<QProcess> m_shell;
    bool m_locked = false;
};

// Installs tests/fakes/slow-rsync.sh (the real rsync at 1 MiB/s) and makes it
// the copy program of the monitor INI file, so that a copy is caught mid-way;
// fakes.pid("slow-rsync") is then the running rsync.
void useSlowRsync(FakePrograms &fakes);

// `size` random bytes.
QByteArray randomBytes(int size);
// The MD5 of a file's content in hex.
QByteArray checksum(const QString &path);
// Every entry below `root` by its path relative to it: "dir", "file <checksum>"
// or "link <the link's own text>" (links are not followed). Entries with a
// hidden name on their path are left out unless `withHidden`, and so is the
// subtree at the absolute path `skip`.
QMap<QString, QByteArray> snapshot(const QString &root, bool withHidden = true, const QString &skip = QString());

// The first argument of every emission the spy saw.
QVariantList values(const QSignalSpy &spy);

// Runs the event loop until a quit queued on it ends it or `failSafeMs` pass;
// true when a quit was pending. A quit left pending would end the next wait.
bool quitWasPending(int failSafeMs = 3000);

// The real program as the device hook starts it (CORVALET_BINARY), with the
// environment of the test, QT_QPA_PLATFORM set to `platform` and each log
// message on a line of its own as "<type> <message>". Its output, standard
// output and standard error together, is kept for the test to read. A
// program still running when the object goes is killed and reaped.
class RealProgram
{
public:
    explicit RealProgram(const QString &platform = QStringLiteral("offscreen"));
    ~RealProgram();
    RealProgram(const RealProgram &) = delete;
    RealProgram &operator=(const RealProgram &) = delete;

    // Changes to the environment before start().
    QProcessEnvironment &environment() { return m_environment; }
    void start(const QStringList &arguments);
    QProcess &process() { return *m_process; }
    // Everything the program wrote so far.
    QByteArray output();
    // Index of the first line at or after `from` that starts with `prefix`; -1 if none.
    int find(const QString &prefix, int from = 0);
    // Waits (bounded) for such a line.
    bool waitFor(const QString &prefix, int timeoutMs = 30000);
    // Waits (bounded) for the end; true when it exited normally with code 0.
    bool exitsCleanly(int timeoutMs = 30000);

private:
    QProcessEnvironment m_environment;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
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
