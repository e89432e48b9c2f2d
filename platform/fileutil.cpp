#include "platform/fileutil.h"

#include "platform/descriptor.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray readSmallFile(const QString &path, int maxBytes)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (!file.isValid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    QByteArray content(maxBytes, Qt::Uninitialized);
    int filled = 0;
    while (filled < content.size()) {
        const ssize_t n = ::read(file.get(), content.data() + filled, size_t(content.size() - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && filled == 0)
            return {};
        if (n <= 0)
            break;
        filled += int(n);
    }
    content.truncate(filled);
    return content;
}

bool pathExists(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), F_OK) == 0;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool flushFileSystem(const QString &path)
{
    const Descriptor fileSystem(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fileSystem.isValid())
        return false;
    ::syncfs(fileSystem.get());
    return true;
}

bool hasHiddenPart(const char *path, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (path[i] == '.' && (i == 0 || path[i - 1] == '/'))
            return true;
    }
    return false;
}
