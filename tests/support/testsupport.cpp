#include "testsupport.h"

#include "config/settings.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include <cerrno>
#include <signal.h>
#include <unistd.h>

namespace TestSupport {

bool inSandbox()
{
    return ::geteuid() == 0 && qgetenv("CORVALET_SANDBOX") == "1";
}

QString sandboxSkipReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root to mount drives in a private namespace; run the suite as root (tests/sandbox.sh)");
    return QStringLiteral("not inside tests/sandbox.sh (no private mount namespace); run the suite through ctest");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int run(const QString &program, const QStringList &arguments, QByteArray *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        if (output)
            *output = process.readAll() + process.errorString().toUtf8();
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

namespace {

void writeOrRemove(const QString &path, const QByteArray &content)
{
    if (content.isEmpty())
        QFile::remove(path);
    else
        writeFile(path, content);
}

} // namespace

void useMonitorConfig()
{
    Settings::instance().configFile = QString::fromLatin1(kMonitorConfigFile);
}

void writeMonitorIni(const QByteArray &content)
{
    writeOrRemove(QStringLiteral("/etc/orveld/monitor.ini"), content);
}

void writeMediaServerIni(const QByteArray &content)
{
    writeOrRemove(QStringLiteral("/etc/zlmedia/config.ini"), content);
}

void writeHostname(const QByteArray &content)
{
    writeFile(QStringLiteral("/etc/hostname"), content);
}

bool mountDeviceAt(const QString &device, const QString &path, const QString &type)
{
    QDir().mkpath(path);
    const QStringList typeArguments = type.isEmpty() ? QStringList() : QStringList{QStringLiteral("-t"), type};
    return run(QStringLiteral("mount"), typeArguments + QStringList{device, path}) == 0;
}

void stopNbdfuse(QProcess &server, const QString &fuseDir)
{
    constexpr int kServerEndMs = 5000;
    if (server.state() == QProcess::NotRunning)
        return;
    // The loop device lets go of the file a moment after it is detached.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (run(QStringLiteral("fusermount3"), {QStringLiteral("-u"), fuseDir}) == 0 || server.waitForFinished(100))
            break;
    }
    if (!server.waitForFinished(kServerEndMs)) {
        run(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), fuseDir});
        server.kill();
        server.waitForFinished(kServerEndMs);
    }
}

QString LoopDrive::formatProgram(const QString &fileSystem)
{
    return QStringLiteral("mkfs.") + fileSystem;
}

LoopDrive::LoopDrive(qint64 sizeMiB, const QString &fileSystem)
    : m_fileSystem(fileSystem)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    m_image = m_dir.filePath(QStringLiteral("drive.img"));
    QStringList formatArguments;
    if (fileSystem == QLatin1String("ext4"))
        formatArguments = QStringList{QStringLiteral("-q"), QStringLiteral("-F")};
    else if (fileSystem == QLatin1String("ntfs"))
        formatArguments = QStringList{QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-Q")};
    else if (fileSystem == QLatin1String("vfat"))
        formatArguments = QStringList{QStringLiteral("-F"), QStringLiteral("32")};
    formatArguments << m_image;
    QByteArray output;
    if (run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("%1M").arg(sizeMiB), m_image}, &output) != 0
            || run(formatProgram(fileSystem), formatArguments, &output) != 0) {
        m_error = QStringLiteral("cannot create the image: ") + QString::fromUtf8(output);
        return;
    }
    if (run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), m_image}, &output) != 0) {
        m_error = QStringLiteral("no loop device: ") + QString::fromUtf8(output);
        return;
    }
    m_device = QString::fromUtf8(output).trimmed();
}

namespace {

// Every mount of the device in the sandbox, for a test that left one; a
// FUSE driver's daemon holds the device until its mount is gone.
void unmountEverywhere(const QString &device)
{
    QByteArray output;
    run(QStringLiteral("findmnt"), {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("TARGET"), device}, &output);
    const QList<QByteArray> targets = output.split('\n');
    for (const QByteArray &line : targets) {
        const QString target = QString::fromUtf8(line.trimmed());
        if (!target.isEmpty() && run(QStringLiteral("umount"), {target}) != 0)
            run(QStringLiteral("umount"), {QStringLiteral("-l"), target});
    }
}

} // namespace

TestDrive::~TestDrive()
{
    const QString loop = m_attached.isEmpty() ? m_device : m_attached;
    if (!loop.isEmpty()) {
        unmountEverywhere(loop);
        run(QStringLiteral("losetup"), {QStringLiteral("-d"), loop});
    }
    if (m_server)
        stopNbdfuse(*m_server, m_fuseDir);
}

QString TestDrive::kernelName() const
{
    return m_device.mid(QStringLiteral("/dev/").size());
}

bool TestDrive::mountAt(const QString &path, const QString &type)
{
    return mountDeviceAt(m_device, path, type);
}

bool TestDrive::unmountFrom(const QString &path)
{
    return run(QStringLiteral("umount"), {path}) == 0;
}

bool LoopDrive::fsckClean(QByteArray *report) const
{
    // Each file system's own checker, reading only.
    if (m_fileSystem == QLatin1String("exfat"))
        return run(QStringLiteral("fsck.exfat"), {QStringLiteral("-n"), m_image}, report) == 0;
    if (m_fileSystem == QLatin1String("ntfs"))
        return run(QStringLiteral("ntfsfix"), {QStringLiteral("-n"), m_image}, report) == 0;
    if (m_fileSystem == QLatin1String("vfat"))
        return run(QStringLiteral("fsck.vfat"), {QStringLiteral("-n"), m_image}, report) == 0;
    return run(QStringLiteral("e2fsck"), {QStringLiteral("-fn"), m_image}, report) == 0;
}

namespace {

// nbdkit's rate filter counts bits per second; its token bucket holds
// `burstiness` seconds of data. The default of two seconds lets 20 MB through
// at memory speed after each pause at 10 MB/s, which a flush right after an
// idle moment would see as a much faster stick. A quarter of a second
// (2.5 MB at 10 MB/s) still holds whole requests of the loop device, and
// 50 MiB written straight to the device take 5.0 s at 10 MB/s.
constexpr double kRateBurstSeconds = 0.25;
constexpr int kServerStartMs = 10000;

} // namespace

SlowDrive::SlowDrive(qint64 sizeMiB, qint64 bytesPerSecond)
    : m_bytesPerSecond(bytesPerSecond)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    m_fuseDir = m_dir.filePath(QStringLiteral("fuse"));
    QDir().mkpath(m_fuseDir);
    const QString file = m_fuseDir + QStringLiteral("/stick");
    const QString pidFile = m_dir.filePath(QStringLiteral("nbdfuse.pid"));

    // nbdfuse runs nbdkit itself on a private socket and writes its pid file
    // once the file can be used; nbdkit ends with it.
    m_server = std::make_unique<QProcess>();
    m_server->setProcessChannelMode(QProcess::MergedChannels);
    m_server->start(QStringLiteral("nbdfuse"),
                    {QStringLiteral("-P"), pidFile, file, QStringLiteral("["), QStringLiteral("nbdkit"),
                     QStringLiteral("--exit-with-parent"), QStringLiteral("--filter=rate"), QStringLiteral("memory"),
                     QStringLiteral("size=%1M").arg(sizeMiB), QStringLiteral("rate=%1").arg(bytesPerSecond * 8),
                     QStringLiteral("burstiness=%1").arg(kRateBurstSeconds), QStringLiteral("]")});
    if (!m_server->waitForStarted(kServerStartMs)) {
        m_error = QStringLiteral("cannot start nbdfuse: ") + m_server->errorString();
        m_server.reset();
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (readFile(pidFile).trimmed().isEmpty()) {
        if (m_server->waitForFinished(50) || waited.hasExpired(kServerStartMs)) {
            m_error = QStringLiteral("nbdfuse did not come up: ") + QString::fromUtf8(m_server->readAll());
            return;
        }
    }

    QByteArray output;
    if (run(QStringLiteral("losetup"),
            {QStringLiteral("--find"), QStringLiteral("--show"), QStringLiteral("--direct-io=on"), file}, &output) != 0) {
        m_error = QStringLiteral("no loop device: ") + QString::fromUtf8(output);
        return;
    }
    const QString device = QString::fromUtf8(output).trimmed();
    // mkfs zeroes the inode tables and the journal itself rather than leaving
    // the inode tables to the kernel's lazy initialisation, which would write
    // to the drive in the background of a measurement after each mount. It
    // zeroes through the loop device's write-zeroes requests, which become
    // NBD zero requests that the rate filter lets through at once, so the
    // format takes a fraction of a second at any rate.
    if (run(QStringLiteral("mkfs.ext4"),
            {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-E"),
             QStringLiteral("lazy_itable_init=0,lazy_journal_init=0"), device}, &output) != 0) {
        m_error = QStringLiteral("cannot format the drive: ") + QString::fromUtf8(output);
        run(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
        return;
    }
    m_device = device;
}

FakePrograms::FakePrograms()
{
    const QByteArray dir = QFile::encodeName(m_dir.path());
    const QByteArray path = dir + ':' + qgetenv("PATH");
    setEnv("PATH", &path);
    setEnv("FAKE_DIR", &dir);
}

FakePrograms::~FakePrograms()
{
    for (auto it = m_savedEnv.cbegin(); it != m_savedEnv.cend(); ++it) {
        if (it.value().isNull())
            qunsetenv(it.key().constData());
        else
            qputenv(it.key().constData(), it.value());
    }
}

void FakePrograms::setEnv(const QByteArray &name, const QByteArray *value)
{
    if (!m_savedEnv.contains(name))
        m_savedEnv.insert(name, qEnvironmentVariableIsSet(name.constData()) ? qgetenv(name.constData()) : QByteArray());
    if (value)
        qputenv(name.constData(), *value);
    else
        qunsetenv(name.constData());
}

QString FakePrograms::install(const QString &name, const QString &fake)
{
    const QString source = qEnvironmentVariable("CORVALET_SOURCE_DIR") + QStringLiteral("/tests/fakes/") + fake;
    const QString path = m_dir.filePath(name);
    QFile::remove(path);
    if (!QFileInfo(source).isExecutable() || !QFile::link(source, path))
        qWarning("cannot install the fake %s as %s (is CORVALET_SOURCE_DIR set?)", qPrintable(source), qPrintable(name));
    return path;
}

void FakePrograms::configure(const QString &name, const QStringList &settings)
{
    QByteArray prefix = "FAKE_";
    if (!name.isEmpty())
        prefix += name.toUpper().replace(QLatin1Char('-'), QLatin1Char('_')).toUtf8() + '_';
    for (const char *setting : {"TERM", "STDOUT", "STDERR", "GATE", "END", "EXIT", "CHUNKS"})
        setEnv(prefix + setting, nullptr);
    for (const QString &setting : settings) {
        const QByteArray value = setting.section(QLatin1Char('='), 1).toUtf8();
        setEnv(prefix + setting.section(QLatin1Char('='), 0, 0).toUtf8(), &value);
    }
}

QByteArray FakePrograms::callsIn(const QString &dir, const QString &program)
{
    const QByteArray all = readFile(dir + QStringLiteral("/calls"));
    if (program.isEmpty())
        return all;
    const QByteArray prefix = program.toUtf8() + ' ';
    QByteArray lines;
    for (const QByteArray &line : all.split('\n')) {
        if (line.startsWith(prefix))
            lines += line.mid(prefix.size()) + '\n';
    }
    return lines;
}

qint64 FakePrograms::pid(const QString &name) const
{
    return readFile(m_dir.filePath(name + QStringLiteral(".pid"))).trimmed().toLongLong();
}

bool FakePrograms::hangersGone() const
{
    for (const QString &name : QDir(path()).entryList({QStringLiteral("*.pid")})) {
        const pid_t pid = pid_t(this->pid(name.chopped(4)));
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            return false;
    }
    return true;
}

LockedDatabase::LockedDatabase(const QString &path)
    : m_shell(std::make_unique<QProcess>())
{
    QFile::remove(path);
    if (run(QStringLiteral("sqlite3"), {path, QStringLiteral("PRAGMA journal_mode=DELETE; CREATE TABLE alarms(id INTEGER "
                                                               "PRIMARY KEY, at INTEGER); INSERT INTO alarms(at) VALUES(1);")})
            != 0)
        return;
    m_shell->setProcessChannelMode(QProcess::MergedChannels);
    m_shell->start(QStringLiteral("sqlite3"), {path});
    if (!m_shell->waitForStarted(5000))
        return;
    // The shell answers the SELECT only once the insert holds the lock.
    m_shell->write("BEGIN EXCLUSIVE;\nINSERT INTO alarms(at) VALUES(2);\nSELECT 'locked';\n");
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (!answer.contains("locked") && !clock.hasExpired(5000)) {
        if (m_shell->waitForReadyRead(100))
            answer += m_shell->readAll();
    }
    m_locked = answer.contains("locked");
}

LockedDatabase::~LockedDatabase()
{
    m_shell->kill();
    m_shell->waitForFinished(5000);
}

void useSlowRsync(FakePrograms &fakes)
{
    QFile::remove(fakes.path() + QStringLiteral("/slow-rsync.pid"));
    const QString program = fakes.install(QStringLiteral("slow-rsync"), QStringLiteral("slow-rsync.sh"));
    writeMonitorIni("[System]\nRsyncPath=" + program.toUtf8() + '\n');
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size + 3, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    return bytes;
}

QByteArray checksum(const QString &path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Md5).toHex();
}

QMap<QString, QByteArray> snapshot(const QString &root, bool withHidden, const QString &skip)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (!withHidden && (relative.startsWith(QLatin1Char('.')) || relative.contains(QLatin1String("/."))))
            continue;
        if (!skip.isEmpty() && (path == skip || path.startsWith(skip + QLatin1Char('/'))))
            continue;
        QByteArray value = "dir";
        if (it.fileInfo().isSymLink()) {
            char target[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            value = "link " + QByteArray(target, int(qMax<ssize_t>(n, 0)));
        } else if (!it.fileInfo().isDir()) {
            value = "file " + checksum(path);
        }
        entries.insert(relative, value);
    }
    return entries;
}

QVariantList values(const QSignalSpy &spy)
{
    QVariantList result;
    for (const QVariantList &arguments : spy)
        result << arguments.value(0);
    return result;
}

bool quitWasPending(int failSafeMs)
{
    QTimer failSafe;
    failSafe.setSingleShot(true);
    QObject::connect(&failSafe, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    failSafe.start(failSafeMs);
    return QCoreApplication::exec() == 0;
}

RealProgram::RealProgram(const QString &platform)
    : m_environment(QProcessEnvironment::systemEnvironment())
    , m_process(std::make_unique<QProcess>())
{
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    m_environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{type} %{message}"));
}

RealProgram::~RealProgram()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void RealProgram::start(const QStringList &arguments)
{
    m_process->setProcessEnvironment(m_environment);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(qEnvironmentVariable("CORVALET_BINARY"), arguments);
}

QByteArray RealProgram::output()
{
    m_output += m_process->readAll();
    return m_output;
}

int RealProgram::find(const QString &prefix, int from)
{
    const QStringList lines = QString::fromUtf8(output()).split(QLatin1Char('\n'));
    for (int i = from; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}

bool RealProgram::waitFor(const QString &prefix, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (find(prefix) < 0) {
        if (clock.hasExpired(timeoutMs) || m_process->state() == QProcess::NotRunning)
            return find(prefix) >= 0;
        m_process->waitForReadyRead(50);
    }
    return true;
}

bool RealProgram::exitsCleanly(int timeoutMs)
{
    const bool ended = m_process->state() == QProcess::NotRunning || m_process->waitForFinished(timeoutMs);
    output();
    return ended && m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
}

namespace {

QMutex logMutex;
QList<LogRecorder::Line> *recordedLines = nullptr;
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&logMutex);
        if (recordedLines)
            recordedLines->append({type, message});
    }
    if (qEnvironmentVariableIsSet("CORVALET_TEST_VERBOSE") && previousHandler)
        previousHandler(type, context, message);
}

} // namespace

LogRecorder::LogRecorder()
{
    QMutexLocker locker(&logMutex);
    recordedLines = new QList<Line>;
    previousHandler = qInstallMessageHandler(recordMessage);
}

LogRecorder::~LogRecorder()
{
    qInstallMessageHandler(previousHandler);
    QMutexLocker locker(&logMutex);
    delete recordedLines;
    recordedLines = nullptr;
}

QList<LogRecorder::Line> LogRecorder::lines() const
{
    QMutexLocker locker(&logMutex);
    return *recordedLines;
}

void LogRecorder::clear()
{
    QMutexLocker locker(&logMutex);
    recordedLines->clear();
}

int LogRecorder::count(QtMsgType type, const QString &text) const
{
    int n = 0;
    for (const Line &line : lines())
        n += (line.type == type && line.text == text) ? 1 : 0;
    return n;
}

int LogRecorder::countStartingWith(QtMsgType type, const QString &prefix) const
{
    int n = 0;
    for (const Line &line : lines())
        n += (line.type == type && line.text.startsWith(prefix)) ? 1 : 0;
    return n;
}

int LogRecorder::indexOf(const QString &prefix, int from) const
{
    const QList<Line> all = lines();
    for (int i = from; i < all.size(); ++i) {
        if (all.at(i).text.startsWith(prefix))
            return i;
    }
    return -1;
}

QString LogRecorder::dump() const
{
    static const char *const names[] = {"debug", "warning", "critical", "fatal", "info"};
    QString out;
    for (const Line &line : lines())
        out += QLatin1String(names[line.type]) + QLatin1Char(' ') + line.text + QLatin1Char('\n');
    return out;
}

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton defaultAnswer, int intervalMs)
    : m_defaultAnswer(defaultAnswer)
{
    connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::check);
    m_timer.start(intervalMs);
}

QStringList BoxAnswerer::texts() const
{
    QStringList result;
    for (const Box &box : m_boxes)
        result << box.text;
    return result;
}

void BoxAnswerer::check()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    m_boxes.append({box->windowTitle(), box->text(), box->icon()});
    const QMessageBox::StandardButton answer = m_answers.isEmpty() ? m_defaultAnswer : m_answers.takeFirst();
    QAbstractButton *button = box->button(answer);
    if (!button)
        button = box->buttons().value(0);
    if (button)
        button->click();
}

} // namespace TestSupport
