// The real executable as the device hook starts it, on a real loop drive:
// however the process ends ("remove", SIGTERM, the window manager closing the
// window), a running copy is stopped, the drive is unmounted and its file
// system stays clean. A private Xvfb lets the test press the start button and
// close the window the way a window manager does.

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cstdio>
#include <memory>

using namespace TestSupport;

namespace {

// Finds the mapped top-level window by its title, then presses Return in it
// (the enabled start button takes the focus) or sends it WM_DELETE_WINDOW.
const char kXClient[] = R"(
import sys, time
from Xlib import X, XK, display
from Xlib.ext import xtest
from Xlib.protocol import event
d = display.Display()
atom = d.intern_atom
def title(w):
    p = w.get_full_property(atom('_NET_WM_NAME'), atom('UTF8_STRING'))
    return p.value.decode() if p and isinstance(p.value, bytes) else (p.value if p else '')
for _ in range(300):
    found = [w for w in d.screen().root.query_tree().children
             if w.get_attributes().map_state == X.IsViewable and title(w) == sys.argv[2]]
    if found:
        w = found[0]
        break
    time.sleep(0.1)
else:
    sys.exit('no window titled ' + sys.argv[2])
if sys.argv[1] == 'close':
    data = (32, [atom('WM_DELETE_WINDOW'), X.CurrentTime, 0, 0, 0])
    w.send_event(event.ClientMessage(window=w, client_type=atom('WM_PROTOCOLS'), data=data))
else:
    w.set_input_focus(X.RevertToParent, X.CurrentTime)
    code = d.keysym_to_keycode(XK.string_to_keysym('Return'))
    xtest.fake_input(d, X.KeyPress, code)
    xtest.fake_input(d, X.KeyRelease, code)
d.sync()
)";

} // namespace

enum class Ending { Sigterm, WindowClosedIdle, WindowClosedCopying, SigtermDatabaseLocked };
Q_DECLARE_METATYPE(Ending)

class SessionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void removeExitsAtOnce();
    void ended_data();
    void ended();

private:
    QString startDisplay();

    std::unique_ptr<FakePrograms> m_fakes;
    QProcess m_xvfb;
    QString m_displayProblem;
};

void SessionTest::initTestCase()
{
    REQUIRE_SANDBOX();
    QVERIFY2(QFile::exists(qEnvironmentVariable("CORVALET_BINARY")), "CORVALET_BINARY names no program");
    m_fakes = std::make_unique<FakePrograms>();
    m_fakes->install("xset", "xset.sh");
    m_displayProblem = startDisplay();
}

void SessionTest::cleanupTestCase()
{
    m_xvfb.terminate();
    m_xvfb.waitForFinished(5000);
    m_fakes.reset();
}

// Starts Xvfb on a free display of its choice; returns why it failed, if it did.
QString SessionTest::startDisplay()
{
    if (QStandardPaths::findExecutable("Xvfb").isEmpty())
        return "Xvfb is not installed (Debian package xvfb)";
    if (run("/usr/bin/python3", {"-c", "import Xlib.ext.xtest"}) != 0)
        return "python3 cannot import Xlib (Debian package python3-xlib)";
    const QString displayFile = m_fakes->path() + "/display";
    m_xvfb.start("/bin/sh", {"-c", "exec Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>\"$0\"", displayFile});
    for (int i = 0; i < 100 && readFile(displayFile).trimmed().isEmpty(); ++i)
        QTest::qWait(100);
    const QByteArray number = readFile(displayFile).trimmed();
    if (number.isEmpty())
        return "Xvfb did not start";
    qputenv("DISPLAY", ':' + number);
    return QString();
}

void SessionTest::removeExitsAtOnce()
{
    RealProgram session;
    session.start({"sdz9", "remove"});
    QVERIFY2(session.exitsCleanly(), session.output().constData());
    QCOMPARE(session.find("info 尝试挂载设备:"), -1);
}

void SessionTest::ended_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::newRow("SIGTERM mid-copy") << Ending::Sigterm;
    QTest::newRow("window closed, idle") << Ending::WindowClosedIdle;
    QTest::newRow("window closed mid-copy") << Ending::WindowClosedCopying;
    // The recorder's writer holds the database while the snapshot waits.
    QTest::newRow("SIGTERM while the database is locked") << Ending::SigtermDatabaseLocked;
}

void SessionTest::ended()
{
    QFETCH(Ending, ending);
    if (!m_displayProblem.isEmpty())
        QSKIP(qPrintable(m_displayProblem));

    // A real rsync, slowed down so that the copy still runs when the session ends.
    useSlowRsync(*m_fakes);
    QDir("/media/zozadoz/record").removeRecursively();
    for (int i = 0; i < 8; ++i)
        writeFile(QString("/media/zozadoz/record/record/ch1/%1.mp4").arg(i), randomBytes(1024 * 1024));
    LoopDrive drive(64);
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    const bool locked = ending == Ending::SigtermDatabaseLocked;
    std::unique_ptr<LockedDatabase> database;
    if (locked) {
        database = std::make_unique<LockedDatabase>("/media/zozadoz/record/alarms.db");
        QVERIFY(database->isLocked());
    }

    RealProgram session("xcb");
    session.start({drive.kernelName(), "add"});
    QVERIFY2(session.waitFor("info 设备挂载成功"), session.output().constData());
    const auto xClient = [](const char *mode) {
        QByteArray output;
        return run("/usr/bin/python3", {"-c", kXClient, mode, "U盘导出视频工具"}, &output) == 0 ? QByteArray() : output;
    };
    QByteArray problem;
    if (ending != Ending::WindowClosedIdle) {
        problem = xClient("press");
        QVERIFY2(problem.isEmpty(), problem.constData());
        if (locked) {
            // The plan is logged, then the snapshot waits for the writer.
            QVERIFY2(session.waitFor("info 待复制:"), session.output().constData());
            QTest::qWait(500);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(m_fakes->pid("slow-rsync") > 0, 30000);
        }
    }
    QElapsedTimer clock;
    clock.start();
    if (ending == Ending::Sigterm || locked)
        session.process().terminate();
    else
        problem = xClient("close");
    QVERIFY2(problem.isEmpty(), problem.constData());
    QVERIFY2(session.exitsCleanly(), session.output().constData());
    std::printf("%s: ended %lld ms after the way out\n", QTest::currentDataTag(), clock.elapsed());
    const QByteArray log = session.output();

    // The copy is stopped before the drive is unmounted, and the unmount works.
    const int from = ending == Ending::Sigterm || locked ? session.find("info Received signal: 15") : 0;
    const int stopped = session.find("info 正在停止同步进程", from);
    const int unmounting = session.find("info 尝试卸载设备:", from);
    QVERIFY2(from >= 0 && unmounting >= 0, log.constData());
    if (!locked)
        QVERIFY2(ending == Ending::WindowClosedIdle ? stopped < 0 : (stopped >= 0 && stopped < unmounting),
                 log.constData());
    QCOMPARE(m_fakes->pid("slow-rsync") > 0, !locked && ending != Ending::WindowClosedIdle);
    QVERIFY(run("findmnt", {"-n", "/media/zozadoz/usb_backup"}) != 0 && run("findmnt", {"-n", drive.device()}) != 0);
    QByteArray report;
    QVERIFY2(drive.fsckClean(&report), report.constData());
}

QTEST_MAIN(SessionTest)
#include "tst_session.moc"
