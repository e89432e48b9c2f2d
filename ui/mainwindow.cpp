#include "ui/mainwindow.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "recordings/dirsize.h"
#include "ui/spandialog.h"

#include <QCollator>
#include <QComboBox>
#include <QDebug>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QToolButton>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString formatTime(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// A cut at a recording, to the second.
QString formatExactTime(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , session(new ExportSession(this))
{
    session->setObjectName(QStringLiteral("exportSession"));
    initializeUI();
    setupConnections();
    updateUI();
    // All of the window on the screen from the start: a recorder's screen may
    // be 800x480, less than the two thirds of it Qt would give the window.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        resize(sizeHint().expandedTo(minimumSizeHint()).boundedTo(screen->availableSize()));
}

MainWindow::~MainWindow() = default;

void MainWindow::initializeUI()
{
    setWindowTitle(tr("U盘导出视频工具"));
    setMinimumSize(400, 200);

    central = new QWidget(this);
    setCentralWidget(central);

    mainLayout = new QVBoxLayout(central);
    mainLayout->setSpacing(10);
    mainLayout->setContentsMargins(20, 20, 20, 20);

    sourceSizeLabel = new QLabel(this);
    sourceSizeLabel->setObjectName(QStringLiteral("sourceSizeLabel"));
    sourceSizeLabel->setAlignment(Qt::AlignLeft);
    mainLayout->addWidget(sourceSizeLabel);

    usbInfoLabel = new QLabel(this);
    usbInfoLabel->setObjectName(QStringLiteral("usbInfoLabel"));
    usbInfoLabel->setAlignment(Qt::AlignLeft);
    mainLayout->addWidget(usbInfoLabel);

    // What to export: a span of time and the cameras, each with its size.
    auto *spanRow = new QHBoxLayout;
    auto *spanCaption = new QLabel(tr("时间范围:"), this);
    spanBox = new QComboBox(this);
    spanBox->setObjectName(QStringLiteral("spanBox"));
    const std::pair<Span, QString> spans[] = {
        {Span::All, tr("全部录像")},
        {Span::LastHour, tr("最近 1 小时")},
        {Span::Last24Hours, tr("最近 24 小时")},
        {Span::Last3Days, tr("最近 3 天")},
        {Span::Last7Days, tr("最近 7 天")},
        {Span::Custom, tr("自定义时间段")},
        {Span::NewestThatFit, tr("能放进U盘的最新录像")},
    };
    for (const auto &[span, text] : spans)
        spanBox->addItem(text, int(span));
    spanBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    spanCaption->setBuddy(spanBox);
    // The cameras in a menu of their own beside the span, so that the window
    // keeps to one more row on a recorder's small screen.
    cameraButton = new QToolButton(this);
    cameraButton->setObjectName(QStringLiteral("cameraButton"));
    cameraButton->setPopupMode(QToolButton::InstantPopup);
    cameraMenu = new QMenu(cameraButton);
    cameraMenu->setObjectName(QStringLiteral("cameraMenu"));
    cameraButton->setMenu(cameraMenu);
    cameraButton->hide();
    spanRow->addWidget(spanCaption);
    spanRow->addWidget(spanBox, 1);
    spanRow->addWidget(cameraButton);
    mainLayout->addLayout(spanRow);

    statusLabel = new QLabel(tr("正在检查..."), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setAlignment(Qt::AlignCenter);
    mainLayout->addWidget(statusLabel);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    mainLayout->addWidget(progressBar);

    // How much of the whole export is copied, and how fast and how long it
    // will still take: two lines, empty until the first copy, so that the
    // window has room for them from the start.
    progressLabel = new QLabel(this);
    progressLabel->setObjectName(QStringLiteral("progressLabel"));
    progressLabel->setAlignment(Qt::AlignCenter);
    mainLayout->addWidget(progressLabel);

    auto *buttonLayout = new QHBoxLayout;
    startButton = new QPushButton(tr("开始复制"), this);
    startButton->setObjectName(QStringLiteral("startButton"));
    startButton->setEnabled(false);
    stopButton = new QPushButton(tr("停止"), this);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setEnabled(false);
    exitButton = new QPushButton(tr("退出"), this);
    exitButton->setObjectName(QStringLiteral("exitButton"));
    buttonLayout->addWidget(startButton);
    buttonLayout->addWidget(stopButton);
    buttonLayout->addWidget(exitButton);
    for (QPushButton *button : {startButton, stopButton, exitButton})
        button->setCursor(Qt::PointingHandCursor);
    mainLayout->addLayout(buttonLayout);

    QFile styleFile(QStringLiteral(":/qss/button.qss"));
    if (styleFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setStyleSheet(QString::fromUtf8(styleFile.readAll()));
        styleFile.close();
        qInfo() << "Set style success";
    } else {
        qInfo() << "Open file failed";
    }

    // The height of two lines in the label's own font, as the style sheet
    // makes it.
    progressLabel->ensurePolished();
    progressLabel->setText(QStringLiteral("\n"));
    progressLabel->setMinimumHeight(progressLabel->sizeHint().height());
    progressLabel->clear();
}

void MainWindow::setupConnections()
{
    DeviceManager &device = DeviceManager::instance();
    connect(&device, &DeviceManager::deviceMounted, this, &MainWindow::onDeviceMounted);
    connect(&device, &DeviceManager::deviceUnmounted, this, &MainWindow::onDeviceUnmounted);
    connect(session, &ExportSession::stateChanged, this, &MainWindow::onStateChanged);
    connect(session, &ExportSession::countFinished, this, &MainWindow::onCountFinished);
    connect(session, &ExportSession::question, this, &MainWindow::onQuestion);
    connect(session, &ExportSession::nothingFits, this, &MainWindow::onNothingFits);
    connect(session, &ExportSession::copyStarted, this, &MainWindow::onSyncStarted);
    connect(session, &ExportSession::progressChanged, this, &MainWindow::onProgressChanged);
    connect(session, &ExportSession::finished, this, &MainWindow::onExportFinished);
    // The drive manager's and the copy engine's errors too, through the session.
    connect(session, &ExportSession::error, this, &MainWindow::showErrorMessage);
    connect(spanBox, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::onSpanChosen);
    connect(cameraMenu, &QMenu::triggered, this, [this] {
        if (!showingChoices)
            showChoices();
    });
    connect(startButton, &QAbstractButton::clicked, this, &MainWindow::onStartSync);
    connect(stopButton, &QAbstractButton::clicked, this, &MainWindow::onStopSync);
    connect(exitButton, &QAbstractButton::clicked, this, &MainWindow::onExit);
}

void MainWindow::updateUI()
{
    // A total of -1 is unknown: the count runs, or was cancelled as the
    // session ends, which leaves the line as it was.
    const ExportSession::State state = session->state();
    const bool counting = state == ExportSession::Counting;
    if (counting)
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(tr("正在计算...")));
    else if (sourceTotalSize >= 0)
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(formatSize(sourceTotalSize)));
    const DeviceManager &device = DeviceManager::instance();
    if (device.isMounted()) {
        // The line promises the free space, so that is what it shows, measured
        // now (the capacity measured at mount time never changes).
        usbInfoLabel->setText(tr("U盘已挂载: 可用空间: %1").arg(formatSize(device.freeSpace())));
        startButton->setEnabled(session->canStart());
    } else {
        usbInfoLabel->setText(tr("请插入U盘..."));
        startButton->setEnabled(false);
    }
    const bool choosing = device.isMounted()
            && (state == ExportSession::Ready || state == ExportSession::Done || state == ExportSession::Asking);
    spanBox->setEnabled(choosing);
    cameraButton->setEnabled(choosing);
    stopButton->setEnabled(session->isExporting());
}

QString MainWindow::formatSize(qint64 bytes)
{
    constexpr qint64 kb = 1024;
    constexpr qint64 mb = kb * 1024;
    constexpr qint64 gb = mb * 1024;
    if (bytes < 0)
        return QStringLiteral("0 B");
    if (bytes < kb)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < mb)
        return QStringLiteral("%1 KB").arg(double(bytes) / kb, 0, 'f', 2);
    if (bytes < gb)
        return QStringLiteral("%1 MB").arg(double(bytes) / mb, 0, 'f', 2);
    return QStringLiteral("%1 GB").arg(double(bytes) / gb, 0, 'f', 2);
}

QString MainWindow::formatRemaining(qint64 seconds)
{
    if (seconds < 0)
        return tr("正在计算剩余时间...");
    if (seconds < 60) {
        // Nobody says "remaining about 37 seconds": steps of five.
        const qint64 rounded = qMax<qint64>(5, (seconds + 4) / 5 * 5);
        return rounded >= 60 ? tr("剩余约 1 分钟") : tr("剩余约 %1 秒").arg(rounded);
    }
    const qint64 minutes = (seconds + 30) / 60;
    if (minutes < 60)
        return tr("剩余约 %1 分钟").arg(minutes);
    const qint64 hours = minutes / 60;
    const qint64 rest = minutes % 60;
    if (rest == 0)
        return tr("剩余约 %1 小时").arg(hours);
    return tr("剩余约 %1 小时 %2 分钟").arg(hours).arg(rest);
}

QString MainWindow::formatDuration(qint64 seconds)
{
    seconds = qMax<qint64>(0, seconds);
    if (seconds < 60)
        return tr("%1 秒").arg(seconds);
    if (seconds < 3600)
        return tr("%1 分 %2 秒").arg(seconds / 60).arg(seconds % 60);
    return tr("%1 小时 %2 分钟").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        onExit();
    } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto *button = qobject_cast<QPushButton *>(focusWidget()))
            button->click();
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::showErrorMessage(const QString &message)
{
    QMessageBox::critical(this, tr("错误"), message);
}

void MainWindow::handleDeviceEvent(const QString &device, const QString &action)
{
    session->handleDeviceEvent(device, action);
}

qint64 MainWindow::calculateDirSize(const QString &path)
{
    return directorySize(path);
}

Span MainWindow::chosenSpan() const
{
    return Span(spanBox->currentData().toInt());
}

QStringList MainWindow::chosenCameras() const
{
    QStringList cameras;
    const QList<QAction *> actions = cameraMenu->actions();
    for (const QAction *action : actions) {
        if (action->isChecked())
            cameras << action->data().toString();
    }
    return cameras;
}

void MainWindow::passChoice()
{
    ExportChoice choice = session->choice();
    choice.span = chosenSpan();
    choice.cameras = chosenCameras();
    choice.everyCamera = choice.cameras.size() == cameraMenu->actions().size();
    if (customStart.isValid()) {
        choice.customStart = customStart.toSecsSinceEpoch();
        choice.customEnd = customEnd.toSecsSinceEpoch();
    }
    session->setChoice(choice);
}

void MainWindow::showChoices()
{
    showingChoices = true;
    const bool counted = session->state() != ExportSession::Counting && session->totalBytes() >= 0;

    // The camera folders, all chosen at first; a new count keeps the choice
    // of folders that are still there.
    QStringList cameras = session->index().cameras();
    // In the order a person counts them: ch2 before ch10.
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(cameras.begin(), cameras.end(), collator);
    QStringList shown;
    QStringList unchosen;
    const QList<QAction *> actions = cameraMenu->actions();
    for (const QAction *action : actions) {
        shown << action->data().toString();
        if (!action->isChecked())
            unchosen << action->data().toString();
    }
    if (shown != cameras) {
        cameraMenu->clear();
        for (const QString &camera : cameras) {
            QAction *action = cameraMenu->addAction(camera);
            action->setData(camera);
            action->setCheckable(true);
            action->setChecked(!unchosen.contains(camera));
        }
        cameraButton->setVisible(!cameras.isEmpty());
    }

    passChoice();
    const QStringList chosen = chosenCameras();
    const QStringList selected = chosen.size() < cameras.size() ? chosen : QStringList();
    const Span span = chosenSpan();
    for (int row = 0; row < spanBox->count(); ++row) {
        const Span rowSpan = Span(spanBox->itemData(row).toInt());
        QString text = spanBox->itemText(row).section(QStringLiteral(" ("), 0, 0);
        if (rowSpan == Span::Custom && customStart.isValid())
            text = tr("自定义: %1 至 %2").arg(formatTime(customStart.toSecsSinceEpoch()), formatTime(customEnd.toSecsSinceEpoch()));
        if (!counted) {
            text += tr(" (正在计算...)");
        } else if (rowSpan == Span::Custom && !customStart.isValid()) {
            // No size before the person has chosen the span.
        } else {
            const QString size = formatSize(session->sizes(rowSpan, selected).bytes);
            text += rowSpan == Span::Custom ? tr(" (约 %1)").arg(size) : QStringLiteral(" (%1)").arg(size);
        }
        spanBox->setItemText(row, text);
    }
    for (QAction *action : cameraMenu->actions()) {
        const QString camera = action->data().toString();
        action->setText(counted ? QStringLiteral("%1 (%2)").arg(camera, formatSize(session->sizes(span, {camera}).bytes))
                                : camera);
    }
    cameraButton->setText(chosen.size() == cameras.size() ? tr("全部摄像头")
                                                          : tr("%1 个摄像头").arg(chosen.size()));

    // What 开始复制 will copy, said before it is pressed, in the line that
    // tells what a copy did once one runs.
    if (!session->isExporting() && counted && DeviceManager::instance().isMounted()) {
        QString summary;
        const RecordingSizes sizes = session->sizes(span, selected);
        if (span == Span::NewestThatFit) {
            const qint64 cut = session->newestCut(selected);
            if (cut == ExportSelection::kNoEnd && !session->somethingFits(selected))
                summary = tr("U盘空间不足，放不下所选摄像头的任何录像");
            else if (cut == ExportSelection::kNoEnd)
                // Not even the newest half hour fits whole: 开始复制 cuts at a recording.
                summary = tr("U盘放不下全部录像，将复制 %1 之后最新的一部分录像（约 %2）")
                                  .arg(formatTime(session->newestBucket(selected)), formatSize(sizes.bytes));
            else if (cut == ExportSelection::kNoStart)
                summary = tr("U盘放得下所选的全部录像（%1）").arg(formatSize(sizes.bytes));
            else
                summary = tr("U盘放不下全部录像，将复制从 %1 起的最新录像（%2）").arg(formatTime(cut), formatSize(sizes.bytes));
        } else {
            summary = tr("将复制所选录像（%1）").arg(formatSize(sizes.bytes));
        }
        progressLabel->setText(summary);
    }
    showingChoices = false;
    updateUI();
}

void MainWindow::onSpanChosen(int index)
{
    if (Span(spanBox->itemData(index).toInt()) == Span::Custom && !askCustomSpan()) {
        spanBox->setCurrentIndex(lastSpanIndex);
        return;
    }
    lastSpanIndex = index;
    showChoices();
}

bool MainWindow::askCustomSpan()
{
    const QDateTime now = QDateTime::currentDateTime();
    SpanDialog dialog(customStart.isValid() ? customStart : now.addSecs(-3600),
                      customEnd.isValid() ? customEnd : now, this);
    dialog.setObjectName(QStringLiteral("spanDialog"));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    customStart = dialog.start();
    customEnd = dialog.end();
    return true;
}

void MainWindow::onDeviceMounted(const QString &mountPath, qint64 size)
{
    Q_UNUSED(mountPath)
    Q_UNUSED(size)
    // Walking tens of thousands of recordings on a busy disk takes seconds;
    // the window shows and stays responsive meanwhile, and is ready once
    // the count has the total and the sizes by camera and time.
    sourceTotalSize = -1;
    showChoices();
    statusLabel->setText(tr("正在检查..."));
}

void MainWindow::onCountFinished()
{
    sourceTotalSize = session->totalBytes();
    qDebug() << "源目录:" << session->sourcePath() << ", 总大小:" << formatSize(sourceTotalSize);
    // The session's default: all the recordings when the drive takes what it
    // lacks of them, else the newest that fit.
    spanBox->setCurrentIndex(spanBox->findData(int(session->choice().span)));
    lastSpanIndex = spanBox->currentIndex();
    showChoices();
    if (!DeviceManager::instance().isMounted())
        return;
    // Return presses 开始复制, as when the window opened with it enabled.
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onDeviceUnmounted()
{
    updateUI();
    statusLabel->setText(tr("请插入U盘"));
}

void MainWindow::onStateChanged(ExportSession::State state)
{
    updateUI();
    switch (state) {
    case ExportSession::Ready:
    case ExportSession::Asking:
        statusLabel->setText(tr("U盘就绪"));
        break;
    case ExportSession::Database:
        statusLabel->setText(tr("U盘就绪"));
        // The exact cut, now that 开始复制 has looked at every recording.
        if (session->isCut() && session->exported())
            progressLabel->setText(tr("U盘放不下全部录像，将复制从 %1 起的最新录像（%2）")
                                           .arg(formatExactTime(session->exported()->selection.start),
                                                formatSize(session->exported()->plan.bytesToCopy)));
        break;
    case ExportSession::Planning:
        statusLabel->setText(tr("正在检查U盘空间..."));
        break;
    case ExportSession::Verifying:
        progressBar->setValue(0);
        statusLabel->setText(tr("正在校验... %1%").arg(0));
        progressLabel->setText(formatRemaining(-1));
        break;
    default:
        break;
    }
}

void MainWindow::onStartSync()
{
    session->start();
}

void MainWindow::onNothingFits(qint64 freeSpace)
{
    showErrorMessage(tr("U盘空间不足：U盘可用空间 %1，放不下所选的任何录像。").arg(formatSize(freeSpace)));
}

void MainWindow::onQuestion(const FitQuestion &question)
{
    QStringList problems;
    if (question.tooMuch) {
        problems << tr("U盘空间不足：还需复制 %1，U盘可用空间 %2。")
                            .arg(formatSize(question.bytesToCopy), formatSize(question.freeSpace));
        problems << tr("选择“是”将只复制放得下的最新录像：从 %1 起，共 %2。")
                            .arg(formatExactTime(question.newestStart), formatSize(question.newestBytes));
    }
    if (question.tooLargeFiles > 0) {
        problems << tr("有 %1 个录像（共 %2）大于 %3，U盘的文件系统无法存放，不会被复制。")
                            .arg(question.tooLargeFiles)
                            .arg(formatSize(question.tooLargeBytes), formatSize(question.maxFileSize));
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), problems.join(QLatin1Char('\n')) + tr("仍要复制吗？"), QMessageBox::Yes | QMessageBox::No,
            QMessageBox::No);
    session->answer(answer == QMessageBox::Yes);
}

void MainWindow::onSyncStarted()
{
    updateUI();
    statusLabel->setText(tr("正在复制..."));
    progressBar->setValue(0);
    startButton->setEnabled(false);
    stopButton->setEnabled(true);
    exitButton->setEnabled(false);
    progressLabel->setText(formatRemaining(-1));
}

void MainWindow::onProgressChanged()
{
    if (session->state() == ExportSession::Verifying) {
        // The verification: what has been read back from the stick.
        const ExportProgress &progress = session->verifyProgress();
        const qint64 now = session->elapsedMs();
        progressBar->setValue(progress.percent());
        statusLabel->setText(tr("正在校验... %1%").arg(progress.percent()));
        QString line = tr("已校验 %1 / %2").arg(formatSize(progress.bytesDone()), formatSize(progress.total()))
                + QLatin1Char('\n');
        const double speed = progress.bytesPerSecond(now);
        if (speed > 0)
            line += tr("%1/s · ").arg(formatSize(qint64(speed)));
        progressLabel->setText(line + formatRemaining(progress.secondsLeft(now)));
        return;
    }
    const int percentage = session->progress().percent();
    progressBar->setValue(percentage);
    const bool flushing = session->state() == ExportSession::Flushing;
    statusLabel->setText(flushing ? tr("正在写入U盘... %1%").arg(percentage) : tr("正在复制... %1%").arg(percentage));
    showProgressLine();
}

void MainWindow::showProgressLine()
{
    const ExportProgress &progress = session->progress();
    const qint64 now = session->elapsedMs();
    // Two short lines fit the window where one long one would be cut off.
    QString line = tr("已复制 %1 / %2").arg(formatSize(progress.bytesDone()), formatSize(progress.total()))
            + QLatin1Char('\n');
    const double speed = progress.bytesPerSecond(now);
    if (speed > 0)
        line += tr("%1/s · ").arg(formatSize(qint64(speed)));
    line += formatRemaining(progress.secondsLeft(now));
    // rsync is done; the rest is on its way from the cache to the stick.
    if (session->state() == ExportSession::Flushing && progress.bytesUnwritten() > 0)
        line += tr(" · 还需写入 %1").arg(formatSize(progress.bytesUnwritten()));
    if (const int errors = session->errorCount())
        line += tr(" · %1 条错误").arg(errors);
    progressLabel->setText(line);
}

void MainWindow::onExportFinished(const ExportVerdict &verdict)
{
    // The drive is still there: the window is ready for another export, with
    // the free space as the copy left it.
    updateUI();
    stopButton->setEnabled(false);
    exitButton->setEnabled(true);
    progressBar->setValue(session->progress().percent());
    progressLabel->setText(tr("已复制 %1，用时 %2")
                                   .arg(formatSize(verdict.bytesDone), formatDuration((verdict.elapsedMs + 500) / 1000)));
    QString database;
    if (!verdict.databaseProblem.isEmpty())
        database = QLatin1Char('\n') + verdict.databaseProblem;
    // What the recorder itself changed is no fault of the stick.
    QString notes;
    if (verdict.vanished > 0)
        notes += QLatin1Char('\n') + tr("复制期间录像机删除了 %1 个录像文件，导出包含其余全部录像。").arg(verdict.vanished);
    if (verdict.recordFailed)
        notes += QLatin1Char('\n') + tr("SHA256SUMS 或导出记录.txt 未能写入U盘。");
    if (verdict.changed > 0)
        notes += QLatin1Char('\n')
                + tr("导出期间录像机改动或删除了 %1 个录像（%2），U盘上是复制时的内容，未计入校验。")
                          .arg(verdict.changed)
                          .arg(verdict.firstChanged.join(QStringLiteral("、")));
    if (verdict.success) {
        statusLabel->setText(tr("复制完成"));
        // On its own line: a box on an 800 pixels wide screen is at most 320
        // wide, and a count cut from its word reads badly.
        const QString message = verdict.verified ? tr("文件复制完成\n已校验 %1 个文件").arg(verdict.verifiedFiles)
                                                 : tr("文件复制完成");
        QMessageBox::information(this, tr("完成"), message + notes + database, QMessageBox::Ok);
        return;
    }
    if (verdict.verificationStopped) {
        statusLabel->setText(tr("已停止校验"));
        if (!verdict.leaving)
            QMessageBox::information(this, tr("完成"), tr("文件复制完成，但校验已停止：U盘上的文件未与录像核对。") + database,
                                     QMessageBox::Ok);
        return;
    }
    if (verdict.copied) {
        // Copied, and the stick does not give back what was copied.
        statusLabel->setText(tr("校验失败"));
        if (verdict.leaving)
            return;
        QString message;
        if (!verdict.verificationProblem.isEmpty()) {
            message = tr("校验失败：") + verdict.verificationProblem;
        } else {
            message = tr("校验失败：%1 个文件从U盘读回的内容与录像不一致，例如：\n%2")
                              .arg(verdict.mismatched)
                              .arg(verdict.firstMismatched.join(QLatin1Char('\n')));
            if (verdict.counterfeit)
                message += QLatin1Char('\n')
                        + tr("超出某一位置后写入的数据读回为空白或其他文件的内容：U盘的实际容量可能小于其标称的容量。");
        }
        showErrorMessage(message + notes + database);
        return;
    }
    statusLabel->setText(tr("复制失败"));
    // A stop (by the user, a "remove" or a signal) is no failure to report,
    // and the session may be ending: no box waits for an answer then.
    if (verdict.stopped || verdict.leaving)
        return;
    // One report of everything rsync complained about, however much it was.
    if (verdict.errorCount > 0) {
        showErrorMessage(tr("复制时出现 %1 条错误，前 %2 条：\n%3")
                                 .arg(verdict.errorCount)
                                 .arg(verdict.firstErrors.size())
                                 .arg(verdict.firstErrors.join(QLatin1Char('\n')))
                         + database);
    } else if (!database.isEmpty()) {
        showErrorMessage(verdict.databaseProblem);
    }
}

void MainWindow::onStopSync()
{
    const bool verifying = session->state() == ExportSession::Verifying;
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), verifying ? tr("确定要停止校验吗？") : tr("确定要停止复制吗？"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    // The copy went on while the question was open and may have ended.
    if (answer == QMessageBox::Yes && session->isExporting()) {
        const bool stillVerifying = session->state() == ExportSession::Verifying;
        session->stop();
        statusLabel->setText(stillVerifying ? tr("已停止校验") : tr("已停止复制"));
    }
}

void MainWindow::onExit()
{
    if (session->isExporting()) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
                this, tr("确认"), tr("正在复制文件，确定要退出吗？"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
        if (answer == QMessageBox::No)
            return;
    }
    session->shutDown();
}
