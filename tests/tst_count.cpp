// The recordings count off the GUI thread, on a real loop drive added through
// the window's device event: the window is shown while it runs and offers the
// drive only once the total is in; whatever ends the session during a count
// ("remove", 退出, the window's end, SIGTERM to the real program) ends it at
// once, with the drive unmounted.
//
// A count that never ends needs no hook in the product: a chain of
// directories in which each holds two links to the next is walked once per
// path, 2^40 paths, each of them a tree without a cycle, which the count
// enters by design.

#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "recordings/sizecount.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <memory>

using namespace TestSupport;

namespace {

const QString kRoot = QStringLiteral("/media/zozadoz/count");

// 125 counted bytes in <kRoot>/record (and a hidden file); with `endless`, the chain.
void buildTree(bool endless)
{
    QDir(kRoot).removeRecursively();
    QVERIFY(writeFile(kRoot + "/record/a.mp4", QByteArray(100, 'x')));
    QVERIFY(writeFile(kRoot + "/record/ch1/b.mp4", QByteArray(25, 'x')));
    QVERIFY(writeFile(kRoot + "/record/.index", QByteArray(50, 'x')));
    for (int level = 0; endless && level < 40; ++level) {
        const QString dir = kRoot + QStringLiteral("/record/chain/%1").arg(level);
        const QString next = QStringLiteral("../%1").arg(level + 1);
        QVERIFY(QDir().mkpath(dir) && QFile::link(next, dir + "/x") && QFile::link(next, dir + "/y"));
    }
    writeMediaServerIni("mp4_save_path=" + QFile::encodeName(kRoot) + '\n');
}

} // namespace

class CountTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopDrive> drive;
    std::unique_ptr<MainWindow> window;

    QString text(const char *name) const { return window->findChild<QLabel *>(QLatin1String(name))->text(); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(QLatin1String(name)); }
    bool driveMounted() const { return run("findmnt", {"-n", drive->device()}) == 0; }

private slots:
    void initTestCase()
    {
        REQUIRE_SANDBOX();
        useMonitorConfig();
        drive = std::make_unique<LoopDrive>();
        QVERIFY2(drive->isValid(), qPrintable(drive->errorString()));
    }

    void cleanup()
    {
        window.reset();
        if (DeviceManager::instance().isMounted())
            QVERIFY(DeviceManager::instance().unmountDevice());
    }

    void cleanupTestCase() { QDir(kRoot).removeRecursively(); }

    void duringAndAfter_data()
    {
        QTest::addColumn<bool>("endless");
        QTest::addColumn<QString>("ending"); // what happens once the count is seen running
        QTest::newRow("count done") << false << "none";
        QTest::newRow("remove during the count") << true << "remove";
        QTest::newRow("退出 during the count") << true << "exit";
        QTest::newRow("window gone during the count") << true << "destroy";
    }

    void duringAndAfter()
    {
        QFETCH(bool, endless);
        QFETCH(QString, ending);
        buildTree(endless);
        BoxAnswerer boxes;
        LogRecorder log;
        window = std::make_unique<MainWindow>();
        auto *count = window->findChild<SizeCount *>(QStringLiteral("sizeCount"));
        QVERIFY(count);

        // As main() does: the event, then the window.
        window->handleDeviceEvent(drive->kernelName(), "add");
        window->show();
        QVERIFY(DeviceManager::instance().isMounted() && window->exportSession()->state() == ExportSession::Counting);
        const auto expectCounting = [&] {
            QCOMPARE(text("sourceSizeLabel"), QStringLiteral("源目录总大小: 正在计算..."));
            QCOMPARE(text("statusLabel"), QStringLiteral("正在检查..."));
            QVERIFY(text("usbInfoLabel").startsWith(QStringLiteral("U盘已挂载: 可用空间: ")));
            QVERIFY(!button("startButton")->isEnabled());
            QCOMPARE(log.countStartingWith(QtDebugMsg, QStringLiteral("源目录:")), 0);
        };
        expectCounting();
        if (QTest::currentTestFailed())
            return;

        if (!endless) {
            QTRY_COMPARE(text("statusLabel"), QStringLiteral("U盘就绪"));
            QCOMPARE(text("sourceSizeLabel"), QStringLiteral("源目录总大小: 125 B"));
            QVERIFY(button("startButton")->isEnabled());
            QCOMPARE(log.count(QtDebugMsg, QString("源目录: \"%1/record\" , 总大小: \"125 B\"").arg(kRoot)), 1);
            return;
        }

        // The window is exposed and handles events while the walk goes on.
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTest::qWait(300);
        expectCounting();
        QCOMPARE(window->exportSession()->state(), ExportSession::Counting);

        QElapsedTimer clock;
        clock.start();
        if (ending == QLatin1String("destroy")) {
            window.reset(); // waits for the cancelled walker, within its bound
            QVERIFY2(clock.elapsed() < SizeCount::kJoinTimeoutMs, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(log.countStartingWith(QtWarningMsg, QStringLiteral("后台任务未能及时停止")), 0);
            return;
        }
        if (ending == QLatin1String("remove"))
            window->handleDeviceEvent(drive->kernelName(), "remove");
        else
            button("exitButton")->click();
        QVERIFY(!driveMounted());
        // The walk let go of the drive: umount found it idle.
        QCOMPARE(window->exportSession()->state(), ExportSession::Idle);
        QCOMPARE(text("statusLabel"), QStringLiteral("请插入U盘"));
        QVERIFY(!button("startButton")->isEnabled());
        QCOMPARE(log.countStartingWith(QtDebugMsg, QStringLiteral("源目录:")), 0);
        QCOMPARE(boxes.texts(), QStringList());
    }

    // The real program as the device hook starts it: SIGTERM during the count
    // ends it at once, cleanly, with the drive unmounted.
    void realProgramTerminatedDuringCount()
    {
        buildTree(true);
        FakePrograms fakes;
        fakes.install("xset");
        RealProgram tool;
        tool.start({drive->kernelName(), "add"});
        QVERIFY2(tool.waitFor("info 设备挂载成功"), tool.output().constData());
        QTest::qWait(500);
        QCOMPARE(tool.process().state(), QProcess::Running);

        QElapsedTimer clock;
        clock.start();
        tool.process().terminate();
        const bool clean = tool.exitsCleanly(10000);
        QVERIFY2(clean && clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed()) + " ms\n" + tool.output()));
        QCOMPARE(tool.find("debug 源目录:"), -1);
        QVERIFY(!driveMounted());
    }
};

QTEST_MAIN(CountTest)
#include "tst_count.moc"
