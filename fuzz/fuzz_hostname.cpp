// Reads the host name from an arbitrary file. Whatever the file holds, a name
// that the export accepts must keep the export directory inside the mount
// point, both as Qt sees the path and as the kernel sees its bytes.
#include "export/exporttarget.h"

#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &name)
{
    fprintf(stderr, "fuzz_hostname: %s: \"%s\"\n", what, name.toUtf8().toPercentEncoding(" ").constData());
    abort();
}

bool insideMount(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    return clean == QLatin1String("/m/usb") || clean.startsWith(QLatin1String("/m/usb/"));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzTarget("fuzz_hostname");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = scratchFile(QStringLiteral("hostname"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            abort();
    }
    QString name;
    if (!ExportTarget::readHostname(path, &name))
        abort();
    if (name != name.trimmed() || name.contains(QLatin1Char('\n')))
        fail("name not trimmed to one line", name);
    if (!ExportTarget::isSafeName(name))
        return 0;

    const QString target = QStringLiteral("/m/usb/") + name;
    if (!insideMount(target))
        fail("accepted name leaves the mount point", name);
    // lstat(), mkdir() and rsync's argv get the encoded bytes as a C string:
    // the path ends at the first NUL byte.
    const QByteArray bytes = QFile::encodeName(target);
    const QByteArray seen(bytes.constData());
    if (!insideMount(QFile::decodeName(seen)))
        fail("accepted name leaves the mount point once cut at its NUL byte", name);
    return 0;
}
