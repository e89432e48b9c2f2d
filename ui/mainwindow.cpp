#include "ui/mainwindow.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "export/dirsize.h"
#include "export/exporttarget.h"
#include "export/sizecount.h"
#include "session/shutdown.h"
#include "sync/syncmanager.h"

#include <QDebug>
#include <QFile>
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
{
    sizeCount->setObjectName(QStringLiteral("sizeCount"));
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
}

void MainWindow::setupConnections()
{
    DeviceManager &device = DeviceManager::instance();
    SyncManager &sync = SyncManager::instance();
    connect(&device, &DeviceManager::deviceMounted, this, &MainWindow::onDeviceMounted);
    connect(&device, &DeviceManager::deviceUnmounted, this, &MainWindow::onDeviceUnmounted);
    connect(&device, &DeviceManager::error, this, &MainWindow::showErrorMessage);
    connect(sizeCount, &SizeCount::finished, this, &MainWindow::onSizeCounted);
    connect(&sync, &SyncManager::syncStarted, this, &MainWindow::onSyncStarted);
    connect(&sync, &SyncManager::syncProgress, this, &MainWindow::onSyncProgress);
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
        startButton->setEnabled(!counting);
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
    const QString mountPath = Settings::usbMountPathValue();
    targetPath = mountPath + QLatin1Char('/') + hostname;
    // The drive is untrusted: the target must be a real directory of the
    // drive itself, never a link planted there that leads back into the
    // recorder, and the host name must not climb out of the mount point.
    if (!ExportTarget::prepare(mountPath, hostname)) {
        showErrorMessage(tr("创建主机名目录失败"));
        return;
    }
    copyDatabaseFile();
    SyncManager::instance().startSync(sourcePath, targetPath);
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
}

void MainWindow::onSyncProgress(int percentage)
{
    progressBar->setValue(percentage);
    statusLabel->setText(tr("正在复制... %1%").arg(percentage));
}

void MainWindow::onSyncFinished(bool success)
{
    stopButton->setEnabled(false);
    exitButton->setEnabled(true);
    if (success) {
        statusLabel->setText(tr("复制完成"));
        QMessageBox::information(this, tr("完成"), tr("文件复制完成"), QMessageBox::Ok);
    } else {
        statusLabel->setText(tr("复制失败"));
    }
}

void MainWindow::onStopSync()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("确认"), tr("确定要停止复制吗？"), QMessageBox::Yes | QMessageBox::No,
            QMessageBox::NoButton);
    if (answer == QMessageBox::Yes) {
        SyncManager::instance().stopSync();
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
