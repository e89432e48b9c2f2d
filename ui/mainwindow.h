#pragma once

#include "export/exportprogress.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <memory>

struct PlannedExport;
class BackgroundJob;
class QHBoxLayout;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class SizeCount;

// The tool's only window: the size of the recordings, the drive's state, a
// status line, the copy progress and three buttons. It reacts to the device
// event, to the drive manager and the copy engine, and to the buttons.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Renders a byte count for display: B, KB, MB or GB with two decimals.
    static QString formatSize(qint64 bytes);
    // Total size of the regular files under `path` (see directorySize()).
    static qint64 calculateDirSize(const QString &path);
    // The time an export still needs, rounded the way a person says it:
    // "剩余约 40 秒", "剩余约 8 分钟", "剩余约 1 小时 20 分钟"; a negative
    // count means there is not enough to estimate yet.
    static QString formatRemaining(qint64 seconds);
    // How long something took: "12 秒", "3 分 5 秒", "1 小时 20 分钟".
    static QString formatDuration(qint64 seconds);

public slots:
    void handleDeviceEvent(const QString &device, const QString &action);

private slots:
    void onSyncStarted();
    void onSyncProgress(int percentage);
    void onSyncOutput(const QByteArray &batch);
    void onSyncFinished(bool success);
    void onDeviceMounted(const QString &mountPath, qint64 size);
    void onDeviceUnmounted();
    void onSizeCounted(const QString &path, qint64 bytes);
    void onExportPlanned();
    void onStartSync();
    void onStopSync();
    void onExit();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void initializeUI();
    void setupConnections();
    void updateUI();
    void showErrorMessage(const QString &message);
    void getHostname();
    void copyDatabaseFile();
    // False when the user, told that the export does not fit on the drive,
    // chose not to copy.
    bool confirmFits(const PlannedExport &planned);
    void showProgressLine();

    QWidget *centralWidget = nullptr;
    QVBoxLayout *mainLayout = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *exitButton = nullptr;
    QLabel *sourceSizeLabel = nullptr;
    QLabel *usbInfoLabel = nullptr;
    QString hostname;
    QString mediaRoot;
    QString sourcePath;
    QString targetPath;
    qint64 sourceTotalSize = 0;
    // The whole export's progress, measured from the start of the copy.
    ExportProgress exportProgress;
    QElapsedTimer exportClock;
    // Counts the recordings off the GUI thread; a child, so the window's end
    // cancels it. Until it is done the drive is not offered for export.
    SizeCount *sizeCount = nullptr;
    // The look at the drive and the trees that 开始复制 starts; a child, so
    // the window's end cancels it. Until it is done the start stays disabled.
    BackgroundJob *planJob = nullptr;
    std::shared_ptr<PlannedExport> plannedExport;
};
