#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QTest>

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

LoopDrive::~LoopDrive()
{
    if (m_device.isEmpty())
        return;
    // Leftover mounts of this device in the sandbox (a failed test) first.
    QByteArray output;
    run(QStringLiteral("findmnt"), {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("TARGET"), m_device}, &output);
    const QList<QByteArray> targets = output.split('\n');
    for (const QByteArray &target : targets) {
        if (!target.trimmed().isEmpty())
            run(QStringLiteral("umount"), {QStringLiteral("-l"), QString::fromUtf8(target.trimmed())});
    }
    run(QStringLiteral("losetup"), {QStringLiteral("-d"), m_device});
}

QString LoopDrive::kernelName() const
{
    return m_device.mid(QStringLiteral("/dev/").size());
}

bool LoopDrive::mountAt(const QString &path, const QString &type)
{
    QDir().mkpath(path);
    const QStringList typeArguments = type.isEmpty() ? QStringList() : QStringList{QStringLiteral("-t"), type};
    return run(QStringLiteral("mount"), typeArguments + QStringList{m_device, path}) == 0;
}

bool LoopDrive::unmountFrom(const QString &path)
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

FakePrograms::FakePrograms()
    : m_oldPath(qgetenv("PATH"))
{
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_oldPath);
}

FakePrograms::~FakePrograms()
{
    qputenv("PATH", m_oldPath);
}

QString FakePrograms::add(const QString &name, const QByteArray &body)
{
    const QString path = m_dir.filePath(name);
    writeFile(path, "#!/bin/sh\n" + body + '\n');
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                        | QFileDevice::ReadOther | QFileDevice::ExeOther);
    return path;
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
