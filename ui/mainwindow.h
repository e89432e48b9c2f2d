#pragma once

#include "export/exportsession.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>

class QComboBox;
class QHBoxLayout;
class QKeyEvent;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

// The tool's only window: the size of the recordings, the drive's state, the
// choice of cameras and time span, a status line, the copy progress and three
// buttons. It shows the export session's state and figures (export/), asks
// the person the session's question and forwards the buttons; the session
// does the work.
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

    ExportSession *exportSession() const { return session; }

public slots:
    void handleDeviceEvent(const QString &device, const QString &action);

private slots:
    void onStateChanged(ExportSession::State state);
    void onSyncStarted();
    void onProgressChanged();
    void onExportFinished(const ExportVerdict &verdict);
    void onCountFinished();
    void onSpanChosen(int index);
    void onQuestion(const FitQuestion &question);
    void onNothingFits(qint64 freeSpace);
    void onStartSync();
    void onStopSync();
    void onExit();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void initializeUI();
    void setupConnections();
    void updateUI();
    void showProgress();
    void showErrorMessage(const QString &message);
    // The span and camera choices with their sizes, and the line that says
    // what 开始复制 will copy.
    void showChoices();
    Span chosenSpan() const;
    QStringList chosenCameras() const;
    // All of the camera menu is chosen: the whole recordings directory.
    bool everyCameraChosen() const;
    // Hands what the widgets choose to the session.
    void passChoice();
    bool askCustomSpan();

    QWidget *central = nullptr;
    QVBoxLayout *mainLayout = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *stopButton = nullptr;
    QPushButton *exitButton = nullptr;
    QLabel *sourceSizeLabel = nullptr;
    QLabel *usbInfoLabel = nullptr;
    QComboBox *spanBox = nullptr;
    QToolButton *cameraButton = nullptr;
    QMenu *cameraMenu = nullptr;
    // A drive has been mounted since the window opened.
    bool driveSeen = false;
    QDateTime customStart;
    QDateTime customEnd;
    // The span chosen before the custom one, for a dialog that is cancelled.
    int lastSpanIndex = 0;
    bool showingChoices = false;
    // The export's workflow; a child, so the window's end cancels its jobs.
    ExportSession *session = nullptr;
};
