// The window in its waiting state: widgets, style sheet, keys and the error
// box. Needs no root and no drive.
#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "sync/syncmanager.h"
#include "ui/mainwindow.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using namespace TestSupport;

// The resource bundle registers itself before main(); taking it away makes the
// window meet a missing style sheet.
static void dropResources()
{
    Q_CLEANUP_RESOURCE(res);
}

static void restoreResources()
{
    Q_INIT_RESOURCE(res);
}

class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void formatSize_data();
    void formatSize();
    void formatRemaining_data();
    void formatRemaining();
    void initialState_data();
    void initialState();
    void keys_data();
    void keys();
    void errorBox_data();
    void errorBox();
};

void WindowTest::initTestCase()
{
    useMonitorConfig();
}

void WindowTest::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << qint64(-5) << "0 B";
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("largest B") << qint64(1023) << "1023 B";
    QTest::newRow("1 KB") << qint64(1024) << "1.00 KB";
    QTest::newRow("1.5 KB") << qint64(1536) << "1.50 KB";
    QTest::newRow("largest KB") << qint64(1048575) << "1024.00 KB";
    QTest::newRow("1 MB") << qint64(1048576) << "1.00 MB";
    QTest::newRow("largest MB") << qint64(1073741823) << "1024.00 MB";
    QTest::newRow("1 GB") << qint64(1073741824) << "1.00 GB";
    QTest::newRow("5 TB stays in GB") << qint64(5497558138880) << "5120.00 GB";
}

void WindowTest::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(MainWindow::formatSize(bytes), text);
}

void WindowTest::formatRemaining_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown") << qint64(-1) << "正在计算剩余时间...";
    QTest::newRow("0 s") << qint64(0) << "剩余约 5 秒";
    QTest::newRow("37 s in steps of five") << qint64(37) << "剩余约 40 秒";
    QTest::newRow("58 s is a minute") << qint64(58) << "剩余约 1 分钟";
    QTest::newRow("8 min") << qint64(8 * 60 + 20) << "剩余约 8 分钟";
    QTest::newRow("59.5 min") << qint64(3570) << "剩余约 1 小时";
    QTest::newRow("1 h 20 min") << qint64(4800 + 10) << "剩余约 1 小时 20 分钟";
    QTest::newRow("26 h") << qint64(26 * 3600) << "剩余约 26 小时";
}

void WindowTest::formatRemaining()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(MainWindow::formatRemaining(seconds), text);
}

void WindowTest::initialState_data()
{
    QTest::addColumn<bool>("resources");
    QTest::newRow("styled") << true;
    QTest::newRow("style sheet missing") << false;
}

void WindowTest::initialState()
{
    QFETCH(bool, resources);
    LogRecorder log;
    if (!resources)
        dropResources();
    MainWindow window;
    if (!resources)
        restoreResources();

    QCOMPARE(window.windowTitle(), QStringLiteral("U盘导出视频工具"));
    QCOMPARE(window.minimumSize(), QSize(400, 200));
    auto *sourceSizeLabel = window.findChild<QLabel *>(QStringLiteral("sourceSizeLabel"));
    auto *usbInfoLabel = window.findChild<QLabel *>(QStringLiteral("usbInfoLabel"));
    auto *statusLabel = window.findChild<QLabel *>(QStringLiteral("statusLabel"));
    auto *progressBar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    auto *startButton = window.findChild<QPushButton *>(QStringLiteral("startButton"));
    auto *stopButton = window.findChild<QPushButton *>(QStringLiteral("stopButton"));
    auto *exitButton = window.findChild<QPushButton *>(QStringLiteral("exitButton"));
    auto *progressLabel = window.findChild<QLabel *>(QStringLiteral("progressLabel"));
    QVERIFY(sourceSizeLabel && usbInfoLabel && statusLabel && progressBar && progressLabel && startButton
            && stopButton && exitButton);
    QCOMPARE(progressLabel->text(), QString()); // filled from the first copy on

    QCOMPARE(sourceSizeLabel->text(), QStringLiteral("源目录总大小: 0 B"));
    QCOMPARE(usbInfoLabel->text(), QStringLiteral("请插入U盘..."));
    QCOMPARE(statusLabel->text(), QStringLiteral("正在检查..."));
    QCOMPARE(sourceSizeLabel->alignment(), Qt::AlignLeft);
    QCOMPARE(usbInfoLabel->alignment(), Qt::AlignLeft);
    QCOMPARE(statusLabel->alignment(), Qt::AlignCenter);
    QCOMPARE(progressBar->minimum(), 0);
    QCOMPARE(progressBar->maximum(), 100);
    QCOMPARE(progressBar->value(), 0);
    QVERIFY(progressBar->isTextVisible());
    QCOMPARE(startButton->text(), QStringLiteral("开始复制"));
    QCOMPARE(stopButton->text(), QStringLiteral("停止"));
    QCOMPARE(exitButton->text(), QStringLiteral("退出"));
    QVERIFY(!startButton->isEnabled());
    QVERIFY(!stopButton->isEnabled());
    QVERIFY(exitButton->isEnabled());

    // One column: the two information lines, the span and the cameras, the
    // status, the bar, the line under the bar, the buttons.
    auto *column = qobject_cast<QVBoxLayout *>(window.centralWidget()->layout());
    QVERIFY(column);
    QCOMPARE(column->spacing(), 10);
    QCOMPARE(column->contentsMargins(), QMargins(20, 20, 20, 20));
    QCOMPARE(column->count(), 7);
    const QList<QWidget *> rows{sourceSizeLabel, usbInfoLabel, nullptr, statusLabel, progressBar, progressLabel};
    for (int i = 0; i < rows.size(); ++i) {
        if (rows.at(i))
            QCOMPARE(column->itemAt(i)->widget(), rows.at(i));
    }
    QVERIFY(!window.findChild<QWidget *>("spanBox")->isEnabled()); // nothing to choose from before a drive
    auto *buttonRow = qobject_cast<QHBoxLayout *>(column->itemAt(6)->layout());
    QVERIFY(buttonRow);
    QCOMPARE(buttonRow->count(), 3);
    const QList<QWidget *> buttons{startButton, stopButton, exitButton};
    for (int i = 0; i < buttons.size(); ++i)
        QCOMPARE(buttonRow->itemAt(i)->widget(), buttons.at(i));

    QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Set style success")), resources ? 1 : 0);
    QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Open file failed")), resources ? 0 : 1);
    QCOMPARE(window.styleSheet().contains(QLatin1String("QPushButton:focus")), resources);
    QCOMPARE(window.styleSheet().isEmpty(), !resources);
    // Qt has nothing to complain about (an unknown style sheet property, a
    // widget in two layouts): building and painting the window warns of nothing.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.grab();
    const QList<LogRecorder::Line> lines = log.lines();
    for (const LogRecorder::Line &line : lines) {
        // The offscreen platform's own remark, which the real display does not make.
        if (line.type == QtWarningMsg && !line.text.contains(QLatin1String("propagateSizeHints")))
            QFAIL(qPrintable(line.text));
    }
}

void WindowTest::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("focusOnExit");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<bool>("quits");
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << false << 0 << true;
    QTest::newRow("Return on exit") << int(Qt::Key_Return) << int(Qt::NoModifier) << true << 1 << true;
    QTest::newRow("keypad Enter on exit") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << true << 1 << true;
    QTest::newRow("Return, no button") << int(Qt::Key_Return) << int(Qt::NoModifier) << false << 0 << false;
    QTest::newRow("keypad Enter, no button") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << false << 0 << false;
    QTest::newRow("Space on exit") << int(Qt::Key_Space) << int(Qt::NoModifier) << true << 0 << false;
}

void WindowTest::keys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, focusOnExit);
    QFETCH(int, clicks);
    QFETCH(bool, quits);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *exitButton = window.findChild<QPushButton *>(QStringLiteral("exitButton"));
    QVERIFY(exitButton);
    if (focusOnExit) {
        exitButton->setFocus();
        QTRY_VERIFY(exitButton->hasFocus());
    } else if (QWidget *focused = window.focusWidget()) {
        focused->clearFocus();
    }
    QCOMPARE(qobject_cast<QPushButton *>(window.focusWidget()) != nullptr, focusOnExit);

    QSignalSpy clicked(exitButton, &QAbstractButton::clicked);
    QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers));
    QApplication::sendEvent(&window, &press);

    // A quit request is queued on the event loop; run one here, before any
    // check can fail and leave it to end a later loop, with a fail-safe: a
    // request ends it at once (and is used up), without one the fail-safe
    // ends it.
    QCOMPARE(quitWasPending(quits ? 10000 : 50), quits);
    QCOMPARE(clicked.count(), clicks);
    // The window's own handling never swallows the key: the base class sees
    // it and, having no use for it, leaves it unaccepted.
    QVERIFY(!press.isAccepted());
}

void WindowTest::errorBox_data()
{
    QTest::addColumn<bool>("fromCopyEngine");
    QTest::newRow("drive manager error") << false;
    QTest::newRow("copy engine error") << true;
}

void WindowTest::errorBox()
{
    QFETCH(bool, fromCopyEngine);
    MainWindow window;
    BoxAnswerer answerer;
    const QString message = QStringLiteral("测试错误 %1").arg(fromCopyEngine);
    if (fromCopyEngine)
        emit SyncManager::instance().syncError(message);
    else
        emit DeviceManager::instance().error(message);
    // The box is modal: the emission returns only after it was answered.
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.boxes().first().title, QStringLiteral("错误"));
    QCOMPARE(answerer.boxes().first().text, message);
    QCOMPARE(answerer.boxes().first().icon, QMessageBox::Critical);
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
