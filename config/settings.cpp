#include "config/settings.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>

namespace {

// QSettings turns an INI value that starts with "@Variant(" or "@DateTime("
// into a QVariant with QDataStream, which believes the element counts it
// reads: a dozen bytes in any entry of the section being read make it reserve
// gigabytes and abort with std::bad_alloc, or loop for minutes. The tool's
// keys are plain paths, so a file that could hold such a value is treated as
// malformed: every key reads as its default. Besides the literal forms,
// the text can be spelled with a numeric escape (\x40, \100) or split by a
// backslash line continuation, so those are refused as well. The whole file
// is searched: Qt's Latin-1 conversion of a byte array would stop at a NUL.
bool holdsSerializedValue(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    static const QRegularExpression escape(QStringLiteral("\\\\[0-7xX\\r\\n]"));
    return content.contains("@Variant(") || content.contains("@DateTime(")
            || escape.match(QString::fromLatin1(content.constData(), content.size())).hasMatch();
}

QString readIniValue(const QString &path, const QString &key, const QVariant &fallback)
{
    if (holdsSerializedValue(path)) {
        qWarning() << "配置文件格式不受支持，使用默认值:" << path << key;
        return fallback.toString();
    }
    const QSettings ini(path, QSettings::IniFormat);
    return ini.value(key, fallback).toString();
}

} // namespace

Settings::Settings()
    : recordPath(QStringLiteral("/media/zozadoz/record"))
    , usbMountPath(QStringLiteral("/media/zozadoz/usb_backup"))
    , rsyncPath(QStringLiteral("/usr/bin/rsync"))
    , logPath(QStringLiteral("/var/log/corvalet"))
    , dbPath(QStringLiteral("/media/zozadoz/record/alarms.db"))
    , signingKeyPath(QStringLiteral("/etc/orveld/export_signing_key"))
{
}

Settings &Settings::instance()
{
    static Settings settings;
    return settings;
}

QString Settings::readMonitorValue(const QString &key, const QString &fallback)
{
    return readIniValue(instance().configFile, key, fallback);
}

QString Settings::readMediaServerValue(const QString &key)
{
    return readIniValue(QString::fromLatin1(kMediaServerConfigFile), key, QVariant());
}

QString Settings::recordingsPathValue()
{
    QString mediaRoot = readMediaServerValue(QStringLiteral("mp4_save_path"));
    if (mediaRoot.isEmpty())
        mediaRoot = QStringLiteral("/media/zozadoz/record");
    return mediaRoot + QLatin1String("/record");
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

QString Settings::signingKeyPathValue()
{
    return readMonitorValue(QStringLiteral("System/SigningKey"), instance().signingKeyPath);
}
