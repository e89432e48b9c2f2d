// Running an external program with a bounded wait and an honest verdict, and
// the journal's log priorities on standard error. Needs no root and no drive.

#include "testsupport.h"

#include "app/journal.h"
#include "platform/command.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

Q_DECLARE_METATYPE(Command::Outcome)

namespace {

// Qt's pattern when none is set.
const QString kDefaultPattern = QStringLiteral("%{if-category}%{category}: %{endif}%{message}");

// "device:inode" of an open file, as systemd writes it into JOURNAL_STREAM.
QByteArray deviceInode(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return "fstat failed";
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

} // namespace

class PlatformTest : public QObject
{
    Q_OBJECT
private slots:
    void command_data();
    void command();
    void journal_data();
    void journal();
    void cleanup();
};

void PlatformTest::command_data()
{
    QTest::addColumn<bool>("installed");          // false: the program does not exist
    QTest::addColumn<QStringList>("fake");        // settings of tests/fakes/program.sh
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<Command::Outcome>("outcome");
    QTest::addColumn<int>("exitCode");            // not checked for a crash
    QTest::addColumn<QByteArray>("standardError");
    QTest::addColumn<QString>("errorString");     // a regular expression for all of it
    using O = Command::Outcome;
    QTest::newRow("exit 0") << true << QStringList() << 10000 << O::Succeeded << 0 << QByteArray() << "^$";
    QTest::newRow("exit 3 with a message") << true << QStringList{"EXIT=3", "STDERR=no medium found"} << 10000
                                           << O::Failed << 3 << QByteArray("no medium found\n") << "^exit code 3$";
    QTest::newRow("killed by SIGKILL") << true << QStringList{"END=KILL"} << 10000 << O::Crashed << 0 << QByteArray()
                                       << "^crashed$";
    QTest::newRow("missing program") << false << QStringList() << 10000 << O::FailedToStart << -1 << QByteArray()
                                     << "^failed to start: .+";
    QTest::newRow("hangs past the wait") << true << QStringList{"END=hang"} << 300 << O::TimedOut << -1 << QByteArray()
                                         << "^timed out after 300 ms$";
}

void PlatformTest::command()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, fake);
    QFETCH(int, timeoutMs);
    QFETCH(Command::Outcome, outcome);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, standardError);
    QFETCH(QString, errorString);

    FakePrograms fakes;
    fakes.configure(QStringLiteral("program"), fake);
    const QString program = installed ? fakes.install(QStringLiteral("program")) : fakes.path() + "/missing";
    QElapsedTimer clock;
    clock.start();
    const Command command(program, {QStringLiteral("an argument")}, timeoutMs);
    QVERIFY2(clock.elapsed() < timeoutMs + 2000, "the wait was not bounded");

    QCOMPARE(command.outcome(), outcome);
    QCOMPARE(command.succeeded(), outcome == Command::Outcome::Succeeded);
    QCOMPARE(command.ended(), outcome != Command::Outcome::FailedToStart && outcome != Command::Outcome::TimedOut);
    if (outcome != Command::Outcome::Crashed)
        QCOMPARE(command.exitCode(), exitCode);
    QCOMPARE(command.standardError(), standardError);
    QVERIFY2(QRegularExpression(errorString).match(command.errorString()).hasMatch(), qPrintable(command.errorString()));
    QVERIFY2(fakes.hangersGone(), "a hanging child outlived the wait");
    if (installed)
        QCOMPARE(fakes.calls(), QByteArray("program an argument\n"));
}

void PlatformTest::journal_data()
{
    QTest::addColumn<QByteArray>("journalStream"); // "@log": the log file's "device:inode", "@other": another file's
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("written");       // what reaches standard error
    QTest::newRow("debug") << QByteArray("@log") << int(QtDebugMsg) << QByteArray("<7>text\n");
    QTest::newRow("info") << QByteArray("@log") << int(QtInfoMsg) << QByteArray("<6>text\n");
    QTest::newRow("warning") << QByteArray("@log") << int(QtWarningMsg) << QByteArray("<4>text\n");
    QTest::newRow("critical") << QByteArray("@log") << int(QtCriticalMsg) << QByteArray("<3>text\n");
    QTest::newRow("another file") << QByteArray("@other") << int(QtWarningMsg) << QByteArray("text\n");
    QTest::newRow("empty") << QByteArray() << int(QtWarningMsg) << QByteArray("text\n");
    QTest::newRow("device alone") << QByteArray("1") << int(QtWarningMsg) << QByteArray("text\n");
    QTest::newRow("trailing character") << QByteArray("1:2x") << int(QtWarningMsg) << QByteArray("text\n");
    QTest::newRow("the log's numbers, trailing character") << QByteArray("@logx") << int(QtWarningMsg)
                                                           << QByteArray("text\n");
}

void PlatformTest::journal()
{
    QFETCH(QByteArray, journalStream);
    QFETCH(int, type);
    QFETCH(QByteArray, written);
    QTemporaryFile log;
    QTemporaryFile other;
    QVERIFY(log.open() && other.open());
    journalStream.replace("@log", deviceInode(log.handle())).replace("@other", deviceInode(other.handle()));
    qputenv("JOURNAL_STREAM", journalStream);

    // Standard error goes to the log file while Qt's own handler writes it.
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    QVERIFY(savedStderr >= 0);
    QVERIFY(::dup2(log.handle(), STDERR_FILENO) == STDERR_FILENO);
    const bool named = isJournalStream(STDERR_FILENO, journalStream.constData());
    const bool installed = installJournalPriorities();
    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    switch (type) {
    case QtDebugMsg: qDebug("text"); break;
    case QtInfoMsg: qInfo("text"); break;
    case QtWarningMsg: qWarning("text"); break;
    default: qCritical("text"); break;
    }
    qInstallMessageHandler(testHandler);
    std::fflush(stderr);
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);

    QCOMPARE(named, written.startsWith('<'));
    QCOMPARE(installed, named);
    QCOMPARE(readFile(log.fileName()), written);
}

void PlatformTest::cleanup()
{
    // The pattern is the whole process's.
    qSetMessagePattern(kDefaultPattern);
    qunsetenv("JOURNAL_STREAM");
}

int main(int argc, char *argv[])
{
    // A pattern of the environment would take precedence over the one under test.
    qunsetenv("QT_MESSAGE_PATTERN");
    QCoreApplication app(argc, argv);
    PlatformTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform.moc"
