#include "ui/mainwindow.h"

#include "ui/exporttexts.h"
#include "ui/spandialog.h"

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
    for (const Span span : {Span::All, Span::LastHour, Span::Last24Hours, Span::Last3Days, Span::Last7Days,
                            Span::Custom, Span::NewestThatFit})
        spanBox->addItem(spanLabel(span), int(span));
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

// Every widget from the session's state and figures; the progress line
// follows the copy and the verification as they report.
void MainWindow::updateUI()
{
    const ExportSession::State state = session->state();
    const bool mounted = state != ExportSession::Idle;
    // A total of -1 is unknown: the count runs, or was cancelled as the
    // session ends, which leaves the line as it was (0 B before any count).
    if (state == ExportSession::Counting)
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(tr("正在计算...")));
    else if (session->totalBytes() >= 0 || sourceSizeLabel->text().isEmpty())
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(formatSize(session->totalBytes())));
    // The line promises the free space, so that is what it shows, measured
    // now (the capacity measured at mount time never changes).
    usbInfoLabel->setText(mounted ? tr("U盘已挂载: 可用空间: %1").arg(formatSize(session->freeSpace()))
                                  : tr("请插入U盘..."));
    startButton->setEnabled(session->canStart());
    const bool choosing = state == ExportSession::Ready || state == ExportSession::Done || state == ExportSession::Asking;
    spanBox->setEnabled(choosing);
    cameraButton->setEnabled(choosing);
    stopButton->setEnabled(session->isExporting());
    // From rsync's start to the verdict nothing else may end the export.
    exitButton->setEnabled(state != ExportSession::Copying && state != ExportSession::Flushing
                           && state != ExportSession::Verifying && state != ExportSession::Stopping);
    switch (state) {
    case ExportSession::Idle:
        // Before any drive the window says it is still looking.
        if (driveSeen)
            statusLabel->setText(tr("请插入U盘"));
        break;
    case ExportSession::Counting:
        driveSeen = true;
        statusLabel->setText(tr("正在检查..."));
        break;
    case ExportSession::Ready:
    case ExportSession::Asking:
    case ExportSession::Database:
        statusLabel->setText(tr("U盘就绪"));
        break;
    case ExportSession::Planning:
        statusLabel->setText(tr("正在检查U盘空间..."));
        break;
    case ExportSession::Copying:
    case ExportSession::Flushing:
    case ExportSession::Verifying:
        showProgress();
        break;
    case ExportSession::Stopping:
        statusLabel->setText(tr("已停止复制"));
        break;
    case ExportSession::Done:
        progressBar->setValue(session->progress().percent());
        statusLabel->setText(ExportTexts::outcome(session->verdict().outcome));
        break;
    }
}

QString MainWindow::formatSize(qint64 bytes)
{
    return ExportTexts::size(bytes);
}

QString MainWindow::formatRemaining(qint64 seconds)
{
    return ExportTexts::remaining(seconds);
}

QString MainWindow::formatDuration(qint64 seconds)
{
    return ExportTexts::duration(seconds);
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
    return ExportSession::directorySize(path);
}

Span MainWindow::chosenSpan() const
{
    return Span(spanBox->currentData().toInt());
}

bool MainWindow::everyCameraChosen() const
{
    return chosenCameras().size() == cameraMenu->actions().size();
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
    choice.everyCamera = everyCameraChosen();
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
    const QStringList cameras = session->cameras();
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
    const QStringList selected = everyCameraChosen() ? QStringList() : chosen;
    const Span span = chosenSpan();
    for (int row = 0; row < spanBox->count(); ++row) {
        const Span rowSpan = Span(spanBox->itemData(row).toInt());
        QString text = spanBox->itemText(row).section(QStringLiteral(" ("), 0, 0);
        if (rowSpan == Span::Custom && customStart.isValid())
            text = tr("自定义: %1 至 %2")
                           .arg(ExportTexts::time(customStart.toSecsSinceEpoch()),
                                ExportTexts::time(customEnd.toSecsSinceEpoch()));
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
    cameraButton->setText(everyCameraChosen() ? tr("全部摄像头")
                                                          : tr("%1 个摄像头").arg(chosen.size()));

    // What 开始复制 will copy, said before it is pressed, in the line that
    // tells what a copy did once one runs.
    if (!session->isExporting() && counted && session->state() != ExportSession::Idle)
        progressLabel->setText(ExportTexts::summary(session->summary(span, selected)));
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

void MainWindow::onCountFinished()
{
    qDebug() << "源目录:" << session->sourcePath() << ", 总大小:" << formatSize(session->totalBytes());
    // The session's default: all the recordings when the drive takes what it
    // lacks of them, else the newest that fit.
    spanBox->setCurrentIndex(spanBox->findData(int(session->choice().span)));
    lastSpanIndex = spanBox->currentIndex();
    showChoices();
    if (session->state() == ExportSession::Idle)
        return;
    // Return presses 开始复制, as when the window opened with it enabled.
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onStateChanged(ExportSession::State state)
{
    updateUI();
    switch (state) {
    case ExportSession::Counting:
        // Walking tens of thousands of recordings on a busy disk takes
        // seconds; the window shows and stays responsive meanwhile, and is
        // ready once the count has the total and the sizes by camera and time.
        showChoices();
        break;
    case ExportSession::Database:
        // The exact cut, now that 开始复制 has looked at every recording.
        if (session->isCut() && session->exported())
            progressLabel->setText(tr("U盘放不下全部录像，将复制从 %1 起的最新录像（%2）")
                                           .arg(ExportTexts::exactTime(session->exported()->selection.start),
                                                formatSize(session->exported()->plan.bytesToCopy)));
        break;
    case ExportSession::Verifying:
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
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), ExportTexts::question(question), QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    session->answer(answer == QMessageBox::Yes);
}

void MainWindow::onSyncStarted()
{
    statusLabel->setText(tr("正在复制..."));
    progressBar->setValue(0);
    progressLabel->setText(formatRemaining(-1));
}

// The bar and the status while the copy, the flush or the read-back runs:
// four times a second, so nothing else of the window is looked at again.
void MainWindow::showProgress()
{
    const ExportSession::State state = session->state();
    const ExportProgress &progress = state == ExportSession::Verifying ? session->verifyProgress() : session->progress();
    progressBar->setValue(progress.percent());
    statusLabel->setText(ExportTexts::running(state, progress.percent()));
}

void MainWindow::onProgressChanged()
{
    // A stop's status stays while the copy it stopped comes to its end.
    const ExportSession::State state = session->state();
    if (state != ExportSession::Copying && state != ExportSession::Flushing && state != ExportSession::Verifying)
        return;
    showProgress();
    const qint64 now = session->elapsedMs();
    if (state == ExportSession::Verifying)
        progressLabel->setText(ExportTexts::verifyLine(session->verifyProgress(), now));
    else
        progressLabel->setText(ExportTexts::copyLine(session->progress(), now, state == ExportSession::Flushing,
                                                     session->errorCount()));
}

void MainWindow::onExportFinished(const ExportVerdict &verdict)
{
    // The drive is still there: the window is ready for another export, with
    // the free space as the copy left it.
    updateUI();
    progressLabel->setText(tr("已复制 %1，用时 %2")
                                   .arg(formatSize(verdict.bytesDone), formatDuration((verdict.elapsedMs + 500) / 1000)));
    const ExportTexts::Box box = ExportTexts::verdictBox(verdict);
    if (box.kind == ExportTexts::Box::Information)
        QMessageBox::information(this, tr("完成"), box.text, QMessageBox::Ok);
    else if (box.kind == ExportTexts::Box::Critical)
        showErrorMessage(box.text);
}

void MainWindow::onStopSync()
{
    const bool verifying = session->state() == ExportSession::Verifying;
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), verifying ? tr("确定要停止校验吗？") : tr("确定要停止复制吗？"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    // The copy went on while the question was open and may have ended; the
    // session takes a stop only while it exports.
    if (answer == QMessageBox::Yes)
        session->stop();
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
