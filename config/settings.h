#pragma once

#include <QString>
#include <QVariant>

// The recorder's built-in default paths and the location of its monitor
// configuration file. Configuration values are never cached: every reader goes
// through readMonitorValue()/readMediaServerValue(), which open the INI file
// afresh, so an edit of the file is seen by the next operation.
class Settings
{
public:
    static Settings &instance();

    QString configFile;
    QString recordPath;
    QString usbMountPath;
    QString rsyncPath;
    QString logPath;
    QString dbPath;
    QString signingKeyPath;

    // One read of the monitor INI file (configFile); `fallback` is returned when
    // the file or the key is missing.
    static QString readMonitorValue(const QString &key, const QString &fallback);
    // One read of a top-level key of the media server's INI file; a missing
    // file or key reads as an empty string.
    static QString readMediaServerValue(const QString &key);

    // The recordings directory: `mp4_save_path` of the media server's
    // configuration, or /media/zozadoz/record, with "/record" added.
    static QString recordingsPathValue();
    // The keys of the monitor INI file, each with its default.
    static QString usbMountPathValue();
    static QString rsyncPathValue();
    static QString dbPathValue();
    // The recorder's export signing key (System/SigningKey), which the
    // package creates and the tool only reads.
    static QString signingKeyPathValue();

private:
    Settings();
};

inline constexpr char kMonitorConfigDir[] = "/etc/orveld";
inline constexpr char kMonitorConfigFile[] = "/etc/orveld/monitor.ini";
inline constexpr char kMediaServerConfigFile[] = "/etc/zlmedia/config.ini";
