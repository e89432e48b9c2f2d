#pragma once

// The start every fuzz target shares: a QCoreApplication for the Qt classes
// under test, a message log that prints nothing (printing every debug line
// would make the fuzzer crawl), and a scratch directory for input files.

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdlib>

inline void startFuzzTarget(const char *name)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static int argc = 1;
    static QByteArray program(name);
    static char *argv[] = {program.data(), nullptr};
    static QCoreApplication app(argc, argv);
}

inline QString scratchFile(const QString &name)
{
    static QTemporaryDir directory;
    if (!directory.isValid())
        std::abort();
    return directory.filePath(name);
}
