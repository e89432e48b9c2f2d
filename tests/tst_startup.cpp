// The real corvalet executable started as a child process inside the sandbox:
// its start-up log, its command line, and SIGINT/SIGTERM at any moment.
#include "testsupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

#include <sys/types.h>

using namespace TestSupport;

namespace {

const QString kUnset = QStringLiteral("<unset>");
const QByteArray kMountPoint = "/media/zozadoz/usb_backup";

struct Message {
    QString type;
    QString text;
};

// Splits stderr written with QT_MESSAGE_PATTERN="%{type} %{message}" into
// messages; a line without a level prefix continues the previous message.
QList<Message> parseLog(const QByteArray &stderrBytes)
{
    static const QStringList types{QStringLiteral("debug"), QStringLiteral("info"), QStringLiteral("warning"),
                                   QStringLiteral("critical"), QStringLiteral("fatal")};
    QList<Message> messages;
    QStringList lines = QString::fromUtf8(stderrBytes).split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    for (const QString &line : qAsConst(lines)) {
        const QString type = line.section(QLatin1Char(' '), 0, 0);
        if (types.contains(type))
            messages.append({type, line.mid(type.size() + 1)});
        else if (!messages.isEmpty())
            messages.last().text += QLatin1Char('\n') + line;
    }
    return messages;
}

QString dump(const QList<Message> &messages)
{
    QString out;
    for (const Message &m : messages)
        out += m.type + QLatin1Char(' ') + m.text + QLatin1Char('\n');
    return out;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startup_data();
    void startup();
    void signalStorm();

private:
    std::unique_ptr<RealProgram> startTool(const QStringList &arguments, const QString &display,
                                           const QString &logDir, int xsetExit = 0, int xsetSleepMs = 0);

    std::unique_ptr<FakePrograms> m_fakes;
};

void StartupTest::initTestCase()
{
    QVERIFY2(QFile::exists(qEnvironmentVariable("CORVALET_BINARY")), "CORVALET_BINARY must name the built tool");
    // xset records the display it was given and its arguments; mount and umount
    // only record theirs, so an "add" never touches a real device. blkid finds
    // nothing anywhere, so that a real sdb of this machine with several
    // partitions does not send the tool away from sdb1.
    m_fakes = std::make_unique<FakePrograms>();
    m_fakes->install(QStringLiteral("xset"), QStringLiteral("xset.sh"));
    m_fakes->install(QStringLiteral("mount"));
    m_fakes->install(QStringLiteral("umount"));
    m_fakes->install(QStringLiteral("blkid"));
}

std::unique_ptr<RealProgram> StartupTest::startTool(const QStringList &arguments, const QString &display,
                                                    const QString &logDir, int xsetExit, int xsetSleepMs)
{
    auto tool = std::make_unique<RealProgram>();
    QProcessEnvironment &env = tool->environment();
    env.remove(QStringLiteral("DISPLAY"));
    if (display != kUnset)
        env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("FAKE_DIR"), logDir);
    env.insert(QStringLiteral("FAKE_XSET_EXIT"), QString::number(xsetExit));
    env.insert(QStringLiteral("FAKE_XSET_SLEEP"), QString::number(xsetSleepMs / 1000.0, 'f', 3));
    tool->start(arguments);
    return tool;
}

void StartupTest::startup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display");
    QTest::addColumn<int>("xsetExit");
    QTest::addColumn<bool>("mountFails");
    QTest::addColumn<int>("signal"); // sent once the device event is logged; 0: the tool ends by itself
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("action");

    const QStringList remove{QStringLiteral("sdb1"), QStringLiteral("remove")};
    const QStringList idle{QStringLiteral("sdb1"), QStringLiteral("none")};
    QTest::newRow("DISPLAY unset") << remove << kUnset << 0 << false << 0 << "sdb1" << "remove";
    QTest::newRow("DISPLAY empty") << remove << "" << 0 << false << 0 << "sdb1" << "remove";
    QTest::newRow("DISPLAY :1 kept") << remove << ":1" << 0 << false << 0 << "sdb1" << "remove";
    QTest::newRow("xset fails") << remove << ":1" << 1 << false << 0 << "sdb1" << "remove";
    QTest::newRow("no arguments") << QStringList() << kUnset << 0 << false << SIGTERM << "sdb1" << "add";
    QTest::newRow("one argument") << QStringList{QStringLiteral("sdc1")} << kUnset << 0 << false << SIGINT << "sdc1"
                                  << "add";
    QTest::newRow("Qt option first") << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                                    QStringLiteral("sdb1"), QStringLiteral("remove")}
                                     << kUnset << 0 << false << 0 << "sdb1" << "remove";
    QTest::newRow("SIGTERM idle") << idle << kUnset << 0 << false << SIGTERM << "sdb1" << "none";
    QTest::newRow("SIGINT idle") << idle << kUnset << 0 << false << SIGINT << "sdb1" << "none";
    QTest::newRow("SIGTERM during start-up error box") << QStringList{QStringLiteral("sdb1")} << kUnset << 0 << true
                                                       << SIGTERM << "sdb1" << "add";
}

void StartupTest::startup()
{
    REQUIRE_SANDBOX();
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, xsetExit);
    QFETCH(bool, mountFails);
    QFETCH(int, signal);
    QFETCH(QString, device);
    QFETCH(QString, action);

    QTemporaryDir logDir;
    QVERIFY(logDir.isValid());
    m_fakes->configure(QStringLiteral("mount"), mountFails ? QStringList{QStringLiteral("STDERR=mount: no medium"),
                                                                         QStringLiteral("EXIT=32")}
                                                           : QStringList());
    const std::unique_ptr<RealProgram> tool = startTool(arguments, display, logDir.path(), xsetExit);
    QVERIFY2(tool->process().waitForStarted(10000), qPrintable(tool->process().errorString()));
    if (signal != 0) {
        QVERIFY2(tool->waitFor(mountFails ? "critical 挂载失败" : "info Device event - Device:", 15000),
                 tool->output().constData());
        ::kill(pid_t(tool->process().processId()), signal);
    }
    // With an error box open before the main loop runs, the box's own loop
    // takes the quit; the main loop must still end as soon as it starts.
    QVERIFY2(tool->exitsCleanly(15000), tool->output().constData());
    const QByteArray err = tool->output();

    const bool displaySet = display.isEmpty() || display == kUnset;
    QStringList expected{QStringLiteral("Starting Corvalet version: \"" CORVALET_VERSION "\""),
                         QStringLiteral("====================== \nDetected USB device action: \nDevice: \"%1\" \n"
                                        "Action: \"%2\"").arg(device, action)};
    if (displaySet)
        expected << QStringLiteral("Set DISPLAY environment to :0");
    expected << QStringLiteral("Screen power management: ") + (xsetExit == 0 ? "enabled" : "failed")
             << QStringLiteral("Screen saver: ") + (xsetExit == 0 ? "disabled" : "failed")
             << QStringLiteral("Device event - Device: \"%1\" Action: \"%2\"").arg(device, action);
    if (signal != 0)
        expected << QStringLiteral("Received signal: %1").arg(signal);
    const bool added = action == QLatin1String("add");
    if (added && !mountFails)
        expected << QStringLiteral("设备卸载成功"); // the signal unmounts the drive mounted at start-up

    const QList<Message> messages = parseLog(err);
    int from = 0;
    for (const QString &text : qAsConst(expected)) {
        const auto found = std::find_if(messages.begin() + from, messages.end(), [&](const Message &m) {
            return m.type == QLatin1String("info") && m.text == text;
        });
        QVERIFY2(found != messages.end(),
                 qPrintable(QString(QStringLiteral("missing or out of order: ") + text + QStringLiteral("\n--- log:\n")
                                    + dump(messages))));
        from = int(found - messages.begin()) + 1;
    }
    QCOMPARE(err.count("Set DISPLAY environment"), displaySet ? 1 : 0);
    QCOMPARE(err.count("Received signal:"), signal != 0 ? 1 : 0);

    const QByteArray shownDisplay = displaySet ? QByteArray(":0") : display.toUtf8();
    QCOMPARE(readFile(logDir.filePath(QStringLiteral("xset.log"))),
             shownDisplay + "|dpms force on\n" + shownDisplay + "|s off\n");
    QCOMPARE(FakePrograms::callsIn(logDir.path(), QStringLiteral("mount")),
             added ? QByteArray("/dev/" + device.toUtf8() + ' ' + kMountPoint + '\n') : QByteArray());
    // The unmount before mounting, and the one the signal asks for.
    const QByteArray umountLine = kMountPoint + '\n';
    QCOMPARE(FakePrograms::callsIn(logDir.path(), QStringLiteral("umount")),
             umountLine.repeated(int(added) + int(added && !mountFails)));
}

void StartupTest::signalStorm()
{
    REQUIRE_SANDBOX();
    m_fakes->configure(QStringLiteral("mount"), QStringList());
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    QTemporaryDir logDir;
    QVERIFY(logDir.isValid());

    constexpr int kRuns = 100;
    constexpr int kParallel = 4;
    struct Run {
        std::unique_ptr<RealProgram> tool;
        QByteArray err;
        int signal = 0;
        bool sent = false;
        int phase = -1; // what the log had shown when the signal was sent
    };
    int phases[3] = {0, 0, 0};
    for (int first = 0; first < kRuns; first += kParallel) {
        std::vector<Run> batch(kParallel);
        for (Run &run : batch) {
            // The xset waits are widened to a random length and the signal
            // falls anywhere from the banner to well after the loop starts.
            const int xsetSleepMs = random.bounded(201);
            const int delayMs = random.bounded(2 * xsetSleepMs + 300);
            run.signal = random.bounded(2) ? SIGTERM : SIGINT;
            run.tool = startTool({QStringLiteral("sdb1"), QStringLiteral("none")}, kUnset, logDir.path(), 0,
                                 xsetSleepMs);
            QProcess *process = &run.tool->process();
            connect(process, &QProcess::readyReadStandardOutput, process, [&run, process, delayMs] {
                run.err = run.tool->output();
                // Before the banner the handler may not be installed yet.
                if (run.sent || !run.err.contains("Detected USB device action:"))
                    return;
                run.sent = true;
                QTimer::singleShot(delayMs, process, [&run, process] {
                    if (process->state() != QProcess::Running)
                        return;
                    run.err = run.tool->output();
                    run.phase = run.err.contains("Device event") ? 2 : run.err.contains("Screen saver:") ? 1 : 0;
                    ::kill(pid_t(process->processId()), run.signal);
                });
            });
        }
        const auto allEnded = [&] {
            return std::all_of(batch.begin(), batch.end(),
                               [](const Run &run) { return run.tool->process().state() == QProcess::NotRunning; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(allEnded(), 15000);
        for (Run &run : batch) {
            run.err = run.tool->output();
            const QByteArray context = "run " + QByteArray::number(first) + ", signal "
                    + QByteArray::number(run.signal) + ":\n" + run.err;
            QVERIFY2(run.phase >= 0, context.constData()); // the signal went out
            QVERIFY2(run.tool->exitsCleanly(0), context.constData());
            QVERIFY2(run.err.contains("info Received signal: " + QByteArray::number(run.signal)),
                     context.constData());
            QVERIFY2(!run.err.contains("runtime error") && !run.err.contains("AddressSanitizer"),
                     context.constData());
            ++phases[run.phase];
        }
    }
    qInfo("signals sent during the xset waits: %d, window construction: %d, event loop: %d", phases[0], phases[1],
          phases[2]);
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
