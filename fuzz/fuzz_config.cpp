// Reads the tool's configuration keys from an arbitrary INI file, the way the
// tool reads the monitor file and the media server's file: nothing may crash or
// hang, whatever the file holds.
#include "config/settings.h"

#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzTarget("fuzz_config");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // QSettings keeps a parsed file in a process-wide cache and trusts it while
    // the file's size and time stamp (in milliseconds) are unchanged; a time
    // stamp of its own for every input makes sure each one is parsed for real.
    static qint64 serial = 0;
    const QString path = scratchFile(QStringLiteral("config.ini"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size)
                || !file.flush() || !file.setFileTime(QDateTime::fromMSecsSinceEpoch(++serial), QFileDevice::FileModificationTime))
            abort();
    }

    Settings::instance().configFile = path;
    const QString values[] = {
        Settings::usbMountPathValue(),
        Settings::rsyncPathValue(),
        Settings::dbPathValue(),
        // The media server's file has a fixed path. Its one key is a
        // top-level entry; reading it from this file goes through the same
        // QSettings INI parsing (a section named General in any case, or
        // before the first section) as readMediaServerValue.
        Settings::readMonitorValue(QStringLiteral("mp4_save_path"), QString()),
    };
    // Read every result through, so that a broken string shows up under the
    // sanitizers rather than being optimised away.
    static volatile qsizetype sink;
    for (const QString &value : values)
        sink = value.toUtf8().size();
    return 0;
}
