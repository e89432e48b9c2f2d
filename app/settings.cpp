#include "app/settings.h"

#include <QSettings>

Settings::Settings()
    : recordPath(QStringLiteral("/media/zozadoz/record"))
    , usbMountPath(QStringLiteral("/media/zozadoz/usb_backup"))
    , rsyncPath(QStringLiteral("/usr/bin/rsync"))
    , logPath(QStringLiteral("/var/log/corvalet"))
    , dbPath(QStringLiteral("/media/zozadoz/record/alarms.db"))
{
}

Settings &Settings::instance()
{
    static Settings settings;
    return settings;
}

QString Settings::readMonitorValue(const QString &key, const QString &fallback)
{
    const QSettings ini(instance().configFile, QSettings::IniFormat);
    return ini.value(key, fallback).toString();
}

QString Settings::readMediaServerValue(const QString &key)
{
    const QSettings ini(QString::fromLatin1(kMediaServerConfigFile), QSettings::IniFormat);
    return ini.value(key, QVariant()).toString();
}

QString Settings::usbMountPathValue()
{
    return readMonitorValue(QStringLiteral("Paths/UsbMountPath"), instance().usbMountPath);
}

QString Settings::rsyncPathValue()
{
    return readMonitorValue(QStringLiteral("System/RsyncPath"), instance().rsyncPath);
}

QString Settings::dbPathValue()
{
    return readMonitorValue(QStringLiteral("System/DBPath"), instance().dbPath);
}
