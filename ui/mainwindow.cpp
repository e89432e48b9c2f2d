#include "ui/mainwindow.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "export/dirsize.h"
#include "export/drivecapabilities.h"
#include "export/exportplan.h"
#include "export/exporttarget.h"
#include "export/sizecount.h"
#include "session/shutdown.h"
#include "sync/syncmanager.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , sizeCount(new SizeCount(this))
    , planJob(new BackgroundJob(this))
{
    sizeCount->setObjectName(QStringLiteral("sizeCount"));
    planJob->setObjectName(QStringLiteral("planJob"));
    initializeUI();
    setupConnections();
    updateUI();
    getHostname();
}

MainWindow::~MainWindow() = default;

void MainWindow::initializeUI()
{
    setWindowTitle(tr("U盘导出视频工具"));
    setMinimumSize(400, 200);

    centralWidget = new QWidget(this);
    setCentralWidget(centralWidget);

    mainLayout = new QVBoxLayout(centralWidget);
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
    SyncManager &sync = SyncManager::instance();
    connect(&device, &DeviceManager::deviceMounted, this, &MainWindow::onDeviceMounted);
    connect(&device, &DeviceManager::deviceUnmounted, this, &MainWindow::onDeviceUnmounted);
    connect(&device, &DeviceManager::error, this, &MainWindow::showErrorMessage);
    connect(sizeCount, &SizeCount::counted, this, &MainWindow::onSizeCounted);
    connect(planJob, &BackgroundJob::finished, this, &MainWindow::onExportPlanned);
    // The look at the drive holds its directories open; umount would find it busy.
    connect(&device, &DeviceManager::aboutToUnmount, planJob, &BackgroundJob::stop);
    connect(&sync, &SyncManager::syncStarted, this, &MainWindow::onSyncStarted);
    connect(&sync, &SyncManager::syncOutput, this, &MainWindow::onSyncOutput);
    connect(&sync, &SyncManager::syncFinished, this, &MainWindow::onSyncFinished);
    connect(&sync, &SyncManager::syncError, this, &MainWindow::showErrorMessage);
    connect(startButton, &QAbstractButton::clicked, this, &MainWindow::onStartSync);
    connect(stopButton, &QAbstractButton::clicked, this, &MainWindow::onStopSync);
    connect(exitButton, &QAbstractButton::clicked, this, &MainWindow::onExit);
}

void MainWindow::updateUI()
{
    // A total of -1 is unknown: the count runs, or was cancelled as the
    // session ends, which leaves the line as it was.
    const bool counting = sizeCount->isCounting();
    if (counting)
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(tr("正在计算...")));
    else if (sourceTotalSize >= 0)
        sourceSizeLabel->setText(tr("源目录总大小: %1").arg(formatSize(sourceTotalSize)));
    const DeviceManager &device = DeviceManager::instance();
    if (device.isMounted()) {
        // The line promises the free space, so that is what it shows, measured
        // now (the capacity measured at mount time never changes).
        usbInfoLabel->setText(tr("U盘已挂载: 可用空间: %1").arg(formatSize(device.freeSpace())));
        startButton->setEnabled(!counting && !planJob->isRunning());
    } else {
        usbInfoLabel->setText(tr("请插入U盘..."));
        startButton->setEnabled(false);
    }
    stopButton->setEnabled(SyncManager::instance().isSyncing());
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
    qInfo() << "Device event - Device:" << device << "Action:" << action;
    if (action == QLatin1String("add")) {
        if (SyncManager::instance().isSyncing()) {
            qDebug() << "Already syncing, ignoring new device";
            requestQuit();
            return;
        }
        DeviceManager::instance().mountDevice(device);
    } else if (action == QLatin1String("remove")) {
        shutDown();
    }
}

qint64 MainWindow::calculateDirSize(const QString &path)
{
    return directorySize(path);
}

void MainWindow::onDeviceMounted(const QString &mountPath, qint64 size)
{
    Q_UNUSED(mountPath)
    Q_UNUSED(size)
    mediaRoot = Settings::readMediaServerValue(QStringLiteral("mp4_save_path"));
    if (mediaRoot.isEmpty())
        mediaRoot = QStringLiteral("/media/zozadoz/record");
    sourcePath = mediaRoot + QLatin1String("/record");
    // Walking tens of thousands of recordings on a busy disk takes seconds;
    // the window shows and stays responsive meanwhile, and is ready once
    // onSizeCounted has the total.
    sourceTotalSize = -1;
    sizeCount->start(sourcePath);
    updateUI();
    statusLabel->setText(tr("正在检查..."));
}

void MainWindow::onSizeCounted(const QString &path, qint64 bytes)
{
    sourceTotalSize = bytes;
    qDebug() << "源目录:" << path << ", 总大小:" << formatSize(sourceTotalSize);
    updateUI();
    if (!DeviceManager::instance().isMounted())
        return;
    statusLabel->setText(tr("U盘就绪"));
    // Return presses 开始复制, as when the window opened with it enabled.
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onDeviceUnmounted()
{
    // Whatever unmounts the drive (the "remove" event, a termination signal,
    // 退出) ends the session, so a count still running is not waited for.
    sizeCount->cancel();
    updateUI();
    statusLabel->setText(tr("请插入U盘"));
}

void MainWindow::getHostname()
{
    if (ExportTarget::readHostname(QStringLiteral("/etc/hostname"), &hostname)) {
        qInfo() << "getHostname:" << hostname;
    } else {
        qCritical() << "无法打开 /etc/hostname 文件";
        hostname = QStringLiteral("ORVELD-ffff");
    }
}

void MainWindow::onStartSync()
{
    if (!DeviceManager::instance().isMounted()) {
        showErrorMessage(tr("没有检测到U盘"));
        return;
    }
    if (planJob->isRunning() || SyncManager::instance().isSyncing())
        return;
    const QString mountPath = Settings::usbMountPathValue();
    targetPath = mountPath + QLatin1Char('/') + hostname;
    // Nothing is looked at under a host name that would climb out of the
    // mount point, nor on a mount point that the drive has left.
    if (!ExportTarget::isSafeName(hostname) || !ExportTarget::isMountedAt(mountPath)) {
        showErrorMessage(tr("创建主机名目录失败"));
        return;
    }
    // One look at the drive and at both trees before anything is written,
    // in the background: on a slow stick it takes seconds, during which the
    // window keeps painting and a "remove", a signal or 退出 is not held up.
    auto planned = std::make_shared<PlannedExport>();
    plannedExport = planned;
    planJob->start([planned, mountPath, source = sourcePath, target = targetPath,
                    database = Settings::dbPathValue()](const std::atomic<bool> &cancelled) {
        *planned = planExportTo(mountPath, source, target, database, &cancelled);
    });
    updateUI();
    statusLabel->setText(tr("正在检查U盘空间..."));
}

void MainWindow::onExportPlanned()
{
    const std::shared_ptr<PlannedExport> planned = std::move(plannedExport);
    updateUI();
    if (!planned || !DeviceManager::instance().isMounted())
        return;
    statusLabel->setText(tr("U盘就绪"));
    qInfo() << "U盘文件系统:" << describe(planned->drive);
    qInfo() << "待复制:" << planned->plan.filesToCopy << "个文件," << formatSize(planned->bytesToCopy());
    if (!confirmFits(*planned))
        return;

    // The drive is untrusted: the target must be a real directory of the
    // drive itself, never a link planted there that leads back into the
    // recorder, and the host name must not climb out of the mount point.
    if (!ExportTarget::prepare(planned->mountPath, hostname)) {
        showErrorMessage(tr("创建主机名目录失败"));
        return;
    }
    copyDatabaseFile();
    exportClock.start();
    exportProgress.start(planned->plan.bytesToCopy, 0);
    SyncManager::instance().startSync(sourcePath, targetPath, planned->rsyncOptions);
}

bool MainWindow::confirmFits(const PlannedExport &planned)
{
    const DeviceManager &device = DeviceManager::instance();
    const qint64 free = device.freeSpace();
    const bool fits = planned.fits(free, device.deviceSize());
    if (fits && planned.plan.tooLargeFiles == 0)
        return true;

    QStringList problems;
    if (!fits) {
        qWarning() << "U盘空间不足，需要:" << planned.spaceNeeded() << "可用:" << free;
        problems << tr("U盘空间不足：还需复制 %1，U盘可用空间 %2。")
                            .arg(formatSize(planned.bytesToCopy()), formatSize(free));
    }
    if (planned.plan.tooLargeFiles > 0) {
        qWarning() << "录像大于U盘文件系统的单个文件上限:" << planned.plan.tooLargeFiles << "个,"
                   << planned.drive.maxFileSize;
        problems << tr("有 %1 个录像（共 %2）大于 %3，U盘的文件系统无法存放，不会被复制。")
                            .arg(planned.plan.tooLargeFiles)
                            .arg(formatSize(planned.plan.tooLargeBytes), formatSize(planned.drive.maxFileSize));
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), problems.join(QLatin1Char('\n')) + tr("仍要复制吗？"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}

void MainWindow::copyDatabaseFile()
{
    const QString databasePath = Settings::dbPathValue();
    const QString fileName = databasePath.mid(databasePath.lastIndexOf(QLatin1Char('/')) + 1);
    const QString destination = QStringLiteral("%1/%2").arg(targetPath, fileName);
    // An earlier export's copy is kept. Anything already at that name, a link
    // planted on the drive included, is left alone rather than written through.
    if (!ExportTarget::isFreeName(destination))
        return;
    QFile::copy(databasePath, destination);
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

void MainWindow::onSyncOutput(const QByteArray &batch)
{
    // At most one batch every SyncManager::kOutputIntervalMs, so the window
    // repaints a bounded number of times a second whatever rsync writes.
    exportProgress.feed(batch, exportClock.elapsed());
    onSyncProgress(exportProgress.percent());
}

void MainWindow::onSyncProgress(int percentage)
{
    progressBar->setValue(percentage);
    statusLabel->setText(tr("正在复制... %1%").arg(percentage));
    showProgressLine();
}

void MainWindow::showProgressLine()
{
    const qint64 now = exportClock.elapsed();
    // Two short lines fit the window where one long one would be cut off.
    QString line = tr("已复制 %1 / %2").arg(formatSize(exportProgress.bytesDone()), formatSize(exportProgress.total()))
            + QLatin1Char('\n');
    const double speed = exportProgress.bytesPerSecond(now);
    if (speed > 0)
        line += tr("%1/s · ").arg(formatSize(qint64(speed)));
    line += formatRemaining(exportProgress.secondsLeft(now));
    if (const int errors = SyncManager::instance().errorCount())
        line += tr(" · %1 条错误").arg(errors);
    progressLabel->setText(line);
}

void MainWindow::onSyncFinished(bool success)
{
    const SyncManager &sync = SyncManager::instance();
    // The drive is still there: the window is ready for another export, with
    // the free space as the copy left it.
    updateUI();
    stopButton->setEnabled(false);
    exitButton->setEnabled(true);
    if (success)
        exportProgress.finish();
    progressBar->setValue(exportProgress.percent());
    progressLabel->setText(tr("已复制 %1，用时 %2")
                                   .arg(formatSize(exportProgress.bytesDone()),
                                        formatDuration((exportClock.elapsed() + 500) / 1000)));
    if (success) {
        statusLabel->setText(tr("复制完成"));
        QString message = tr("文件复制完成");
        if (sync.vanishedCount() > 0)
            message += QLatin1Char('\n') + tr("复制期间录像机删除了 %1 个录像文件，导出包含其余全部录像。").arg(sync.vanishedCount());
        QMessageBox::information(this, tr("完成"), message, QMessageBox::Ok);
        return;
    }
    statusLabel->setText(tr("复制失败"));
    // One report of everything rsync complained about, however much it was;
    // a stop (by the user, a "remove" or a signal) is no failure to report.
    if (!sync.wasStopped() && sync.errorCount() > 0) {
        const QStringList lines = sync.firstErrors();
        showErrorMessage(tr("复制时出现 %1 条错误，前 %2 条：\n%3")
                                 .arg(sync.errorCount())
                                 .arg(lines.size())
                                 .arg(lines.join(QLatin1Char('\n'))));
    }
}

void MainWindow::onStopSync()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), tr("确定要停止复制吗？"), QMessageBox::Yes | QMessageBox::No,
            QMessageBox::NoButton);
    // The copy went on while the question was open: it may have ended, or
    // rsync may be done and its data on the way to the drive, which a stop
    // now would only turn into a failure.
    SyncManager &sync = SyncManager::instance();
    if (answer == QMessageBox::Yes && sync.isSyncing() && !sync.isFlushing()) {
        sync.stopSync();
        statusLabel->setText(tr("已停止复制"));
    }
}

void MainWindow::onExit()
{
    if (SyncManager::instance().isSyncing()) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
                this, tr("确认"), tr("正在复制文件，确定要退出吗？"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
        if (answer == QMessageBox::No)
            return;
    }
    shutDown();
}
