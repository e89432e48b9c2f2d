// The copy engine against the real rsync, and fake rsync programs for what the
// real one cannot do on demand (hang, crash, ignore SIGTERM, print a message).

#include "testsupport.h"

#include "config/settings.h"
#include "export/exportprogress.h"
#include "sync/syncmanager.h"

#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <memory>

using namespace TestSupport;

namespace {

SyncManager &engine() { return SyncManager::instance(); }

void useRsync(const QString &program)
{
    writeMonitorIni("[System]\nRsyncPath=" + program.toUtf8() + '\n');
}

QString commandLine(const QString &program, const QString &source, const QString &destination)
{
    return QStringLiteral("开始同步，执行命令： \"%1\" \"-av --progress --exclude=.* %2/ %3\"")
        .arg(program, source, destination);
}

} // namespace

class TestSyncManager : public QObject
{
    Q_OBJECT

    // A fake rsync under its own name, with the settings of tests/fakes/program.sh.
    QString fake(const QString &name, const QStringList &settings)
    {
        m_fakes->configure(name, settings);
        return m_fakes->install(name);
    }
    // A fake waiting for the gate NAME goes on once the test opens it: the
    // test decides when the next chunk is written, so each one is read on its own.
    void open(const QString &gate) { writeFile(m_fakes->path() + "/gates/" + gate, {}); }
    int outputLines() const { return m_log->countStartingWith(QtDebugMsg, "Rsync输出："); }

    std::unique_ptr<LogRecorder> m_log;
    std::unique_ptr<FakePrograms> m_fakes;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_src, m_dst;
    std::unique_ptr<QSignalSpy> m_started, m_progress, m_finished, m_error;

private slots:
    void initTestCase()
    {
        useMonitorConfig();
        m_log = std::make_unique<LogRecorder>();
        m_fakes = std::make_unique<FakePrograms>();
    }
    void cleanupTestCase()
    {
        m_fakes.reset();
        m_log.reset();
    }
    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        m_src = m_work->filePath("src");
        m_dst = m_work->filePath("dst");
        QVERIFY(QDir().mkpath(m_src) && QDir().mkpath(m_dst));
        QVERIFY(QDir(m_fakes->path() + "/gates").removeRecursively());
        m_started = std::make_unique<QSignalSpy>(&engine(), &SyncManager::syncStarted);
        m_progress = std::make_unique<QSignalSpy>(&engine(), &SyncManager::syncOutput);
        m_finished = std::make_unique<QSignalSpy>(&engine(), &SyncManager::syncFinished);
        m_error = std::make_unique<QSignalSpy>(&engine(), &SyncManager::syncError);
        m_log->clear();
    }
    void cleanup()
    {
        // A failed test must not leave its child to the next one.
        if (engine().isSyncing()) {
            engine().stopSync();
            QTest::qWait(500);
        }
        if (QTest::currentTestFailed())
            fprintf(stderr, "log of the failed test:\n%s", qPrintable(m_log->dump()));
    }

    void realCopy_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("plain source") << QString();
        QTest::newRow("source with trailing slash") << QStringLiteral("/");
    }
    void realCopy()
    {
        REQUIRE_SANDBOX();
        QFETCH(QString, suffix);
        // rsync sends the top-level files first: the big file with its partial
        // reports comes early, small files (reported at 100% only) follow.
        QMap<QString, QByteArray> files{
            {"empty.dat", {}}, {"video.bin", randomBytes(3 * 1024 * 1024 + 17)}, {"名字 with space.txt", "x\n"},
            {"a/b/visible.txt", "visible\n"}, {"a/b/c/deep.bin", randomBytes(20000)},
            {".hidden", "h"}, {".hiddendir/inside.txt", "i"}, {"a/.hid", "h2"}, {"a/b/.cache/x", "x"}};
        for (int i = 0; i < 20; ++i)
            files.insert(QStringLiteral("a/clips/clip%1.txt").arg(i), randomBytes(i * 100));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(m_src + '/' + it.key(), it.value()));
        QVERIFY(QFile::link("a/b/c/deep.bin", m_src + "/link"));
        useRsync("/usr/bin/rsync");

        QList<bool> syncingAtProgress, syncingAtFinish;
        auto c1 = connect(&engine(), &SyncManager::syncOutput, this, [&] { syncingAtProgress << engine().isSyncing(); });
        auto c2 = connect(&engine(), &SyncManager::syncFinished, this, [&] { syncingAtFinish << engine().isSyncing(); });
        QVERIFY(engine().startSync(m_src + suffix, m_dst, {}, Descriptor()));
        QVERIFY(engine().isSyncing());
        QCOMPARE(m_started->count(), 1);
        QCOMPARE(m_log->count(QtInfoMsg, commandLine("/usr/bin/rsync", m_src + suffix, m_dst)), 1);
        // A real event loop, unlike QTRY's sleeps, reads the output as it comes
        // instead of lumping many reports into one chunk.
        QVERIFY(m_finished->wait(60000));
        disconnect(c1);
        disconnect(c2);

        QCOMPARE(values(*m_finished), QVariantList{true});
        QCOMPARE(syncingAtFinish, QList<bool>{false});
        QVERIFY(!syncingAtProgress.isEmpty() && !syncingAtProgress.contains(false));
        // Read as the window reads it, the output accounts for every byte.
        ExportProgress progress;
        qint64 bytes = 0;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            bytes += (it.key().startsWith('.') || it.key().contains("/.")) ? 0 : it.value().size();
        progress.start(bytes, 0);
        for (const QVariant &batch : values(*m_progress))
            progress.feed(batch.toByteArray(), 0);
        QCOMPARE(progress.bytesDone(), bytes);
        QCOMPARE(m_error->count(), 0);
        QVERIFY(m_log->indexOf("正在写入U盘缓存:") < m_log->indexOf("同步成功完成"));
        const auto expected = snapshot(m_src, false);
        QCOMPARE(expected.size(), 30);   // 25 files, a link, 4 folders
        QCOMPARE(snapshot(m_dst, true), expected);
    }

    // Output and error chunks one at a time: each output chunk is one batch
    // (and one debug line unless it is a progress report), each error line one
    // warning; errors are collected for one report at the end, never emitted
    // one by one.
    void childOutput()
    {
        REQUIRE_SANDBOX();
        const QList<QPair<bool, QByteArray>> parts{   // to standard error?, chunk
            {false, "sending incremental file list\n"},
            {true, "rsync: send_files failed to open clip1.mp4: Permission denied (13)\n"},
            {true, " \t\n "},
            {false, "  clip2.mp4  \n"},
            {false, "      1,048,576  45%  102.40MB/s    0:00:00\r"},
            {true, "  rsync error: some files could not be transferred (code 23)\n"},
            {false, "\n"}};
        const QString chunks = m_work->filePath("chunks");
        for (int i = 0; i < parts.size(); ++i)
            QVERIFY(writeFile(chunks + '/' + QString::number(i) + (parts.at(i).first ? ".err" : ""), parts.at(i).second));
        m_fakes->configure(QString(), {"CHUNKS=" + chunks});
        useRsync(m_fakes->install("rsync-chunks", "rsync-chunks.sh"));
        QSignalSpy batches(&engine(), &SyncManager::syncOutput);
        const auto seen = [&] { return batches.count() + m_log->countStartingWith(QtWarningMsg, "Rsync错误："); };
        QVERIFY(engine().startSync(m_src, m_dst, {}, Descriptor()));
        int expected = 0;
        for (int i = 0; i < parts.size(); ++i) {
            if (!parts.at(i).second.trimmed().isEmpty() || !parts.at(i).first)
                ++expected;
            QTRY_COMPARE(seen(), expected);
            open(QString::number(i));
        }
        QTRY_COMPARE(values(*m_finished), QVariantList{true});

        ExportProgress progress;
        for (const QVariant &batch : values(*m_progress))
            progress.feed(batch.toByteArray(), 0);
        QCOMPARE(progress.bytesDone(), qint64(1048576));
        QCOMPARE(m_error->count(), 0);
        QCOMPARE(engine().errorCount(), 2);
        QCOMPARE(engine().firstErrors(),
                 QStringList({"rsync: send_files failed to open clip1.mp4: Permission denied (13)",
                              "rsync error: some files could not be transferred (code 23)"}));
        for (const auto &part : parts) {
            const QString text = QString::fromUtf8(part.second).trimmed();
            if (!text.isEmpty() && !text.contains('%'))
                QCOMPARE(m_log->count(part.first ? QtWarningMsg : QtDebugMsg,
                                      (part.first ? "Rsync错误： \"" : "Rsync输出： \"") + text + '"'), 1);
        }
        QCOMPARE(outputLines() + m_log->countStartingWith(QtWarningMsg, "Rsync错误："), 4);
    }

    void childEnd_data()
    {
        QTest::addColumn<QStringList>("fake");   // settings of tests/fakes/program.sh
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("endLine");
        const QString crash = QStringLiteral("同步进程崩溃");
        QTest::newRow("exit code 23") << QStringList{"EXIT=23"} << false << QStringLiteral("同步进程失败，退出代码： 23");
        QTest::newRow("crash") << QStringList{"END=SEGV"} << false << crash;
        QTest::newRow("stop, ends on SIGTERM") << QStringList{"STDOUT=ready", "END=hang"} << true << crash;
        QTest::newRow("stop, exits 20 on SIGTERM")   // what rsync itself does
            << QStringList{"TERM=20", "STDOUT=ready", "END=hang"} << true << QStringLiteral("同步进程失败，退出代码： 20");
        // Not flushed: the caller unmounts next, which writes the cache out.
        QTest::newRow("stop, exits 0 on SIGTERM") << QStringList{"TERM=0", "STDOUT=ready", "END=hang"}
                                                  << true << QStringLiteral("同步在停止请求时结束，未刷新U盘缓存");
    }
    void childEnd()
    {
        REQUIRE_SANDBOX();
        QFETCH(QStringList, fake);
        QFETCH(bool, stop);
        QFETCH(QString, endLine);
        useRsync(this->fake("rsync-end", fake));
        QVERIFY(engine().startSync(m_src, m_dst, {}, Descriptor()));
        if (stop) {
            QTRY_COMPARE(m_log->count(QtDebugMsg, "Rsync输出： \"ready\""), 1);   // traps are set
            engine().stopSync();
            QVERIFY(!engine().isSyncing());
            QCOMPARE(m_log->count(QtInfoMsg, "正在停止同步进程"), 1);
            QCOMPARE(m_log->count(QtWarningMsg, "同步进程未能正常终止，强制结束进程"), 0);
            QCOMPARE(m_finished->count(), 1);   // reported within stopSync
        }
        QTRY_COMPARE(values(*m_finished), QVariantList{false});
        QVERIFY(!engine().isSyncing());
        // Failures are critical; a copy that ended well only as it was stopped is a warning.
        QCOMPARE(m_log->count(endLine.contains("停止") ? QtWarningMsg : QtCriticalMsg, endLine), 1);
        QCOMPARE(m_log->indexOf("正在写入U盘缓存"), -1);
        QCOMPARE(m_log->indexOf("同步成功完成"), -1);
    }

    // A child that ignores SIGTERM is killed after the wait; its end comes in
    // later. A copy started before that is a copy of its own all the same.
    void forcedStopThenRestart()
    {
        REQUIRE_SANDBOX();
        useRsync(fake("rsync-stubborn", {"TERM=ignore", "STDOUT=ready", "END=hang"}));
        QVERIFY(engine().startSync(m_src, m_dst, {}, Descriptor()));
        QTRY_COMPARE(m_log->count(QtDebugMsg, "Rsync输出： \"ready\""), 1);
        engine().stopSync();
        QVERIFY(!engine().isSyncing());
        QCOMPARE(m_log->count(QtWarningMsg, "同步进程未能正常终止，强制结束进程"), 1);
        QCOMPARE(m_finished->count(), 0);
        // The program is read from the INI file anew at every start.
        const QString next = fake("rsync-next", {"STDOUT=next"});
        useRsync(next);
        QVERIFY(engine().startSync(m_src, m_dst, {}, Descriptor()));
        QCOMPARE(m_log->count(QtInfoMsg, commandLine(next, m_src, m_dst)), 1);
        QTRY_COMPARE(m_finished->count(), 2);
        QCOMPARE(values(*m_finished), (QVariantList{false, true}));
        QCOMPARE(m_log->count(QtDebugMsg, "Rsync输出： \"next\""), 1);
        QCOMPARE(m_log->count(QtCriticalMsg, "同步进程崩溃"), 1);
        QVERIFY(!engine().isSyncing());
    }

    void refusedStart_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing program") << "src" << "/nonexistent/rsync" << "启动同步进程失败";
        QTest::newRow("source is a file") << "file" << "/usr/bin/rsync" << "源目录不存在";
        QTest::newRow("source missing") << "none" << "/usr/bin/rsync" << "源目录不存在";
    }
    void refusedStart()
    {
        REQUIRE_SANDBOX();
        QFETCH(QString, source);
        QFETCH(QString, program);
        QFETCH(QString, error);
        QVERIFY(writeFile(m_work->filePath("file"), "not a folder"));
        const QString src = m_work->filePath(source);
        const bool started = src == m_src;   // got as far as running the program
        useRsync(program);
        QVERIFY(!engine().startSync(src, m_dst, {}, Descriptor()));
        QVERIFY(!engine().isSyncing());
        QCOMPARE(values(*m_error), QVariantList{error});
        // The critical line names the process's error or the source path.
        QCOMPARE(m_log->countStartingWith(QtCriticalMsg, error + "：" + (started ? QString() : " \"" + src + '"')), 1);
        QCOMPARE(m_log->count(QtInfoMsg, commandLine(program, src, m_dst)), started ? 1 : 0);
        QTest::qWait(300);   // nothing may follow the refusal
        QCOMPARE(m_started->count(), 0);
        QCOMPARE(m_finished->count(), 0);

        m_log->clear();
        engine().stopSync();   // with no copy running: silent
        QCOMPARE(m_log->dump(), QString());
    }

    // A start while a copy runs is refused and leaves the copy alone.
    void startWhileBusy()
    {
        REQUIRE_SANDBOX();
        useRsync(fake("rsync-busy", {"STDOUT=one", "GATE=finish"}));
        QVERIFY(engine().startSync(m_src, m_dst, {}, Descriptor()));
        QTRY_COMPARE(m_log->count(QtDebugMsg, "Rsync输出： \"one\""), 1);
        QVERIFY(!engine().startSync(m_src, m_dst, {}, Descriptor()));
        QCOMPARE(values(*m_error), QVariantList{"正在同步中"});
        QCOMPARE(m_log->count(QtWarningMsg, "正在同步中"), 1);
        QCOMPARE(m_log->countStartingWith(QtInfoMsg, "开始同步，执行命令："), 1);
        QCOMPARE(m_started->count(), 1);
        QVERIFY(engine().isSyncing());
        open("finish");
        QTRY_COMPARE(values(*m_finished), QVariantList{true});
    }

    // After rsync succeeds the drive's cache is written out before success is
    // reported; a failed write-out is a failed copy.
    void flush_data()
    {
        QTest::addColumn<bool>("syncFails");
        QTest::newRow("loop drive") << false;
        QTest::newRow("sync fails") << true;
    }
    void flush()
    {
        REQUIRE_SANDBOX();
        QFETCH(bool, syncFails);
        LoopDrive drive(16);
        QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
        const QString mountPoint = m_work->filePath("mnt"), dst = mountPoint + "/rec01";
        QVERIFY(drive.mountAt(mountPoint));
        QVERIFY(QDir().mkpath(dst));
        FakePrograms sync;
        if (syncFails) {
            sync.configure("sync", {"EXIT=1"});
            sync.install("sync");
        }
        // The real rsync, writing 1 MiB for the flush to write out.
        QVERIFY(writeFile(m_src + "/data", QByteArray(1024 * 1024, '\0')));
        useRsync("/usr/bin/rsync");
        int flushLineAtFinish = -2;
        auto c = connect(&engine(), &SyncManager::syncFinished, this,
                         [&] { flushLineAtFinish = m_log->indexOf("正在写入U盘缓存:"); });
        QVERIFY(engine().startSync(m_src, dst, {}, Descriptor()));
        QTRY_COMPARE(m_finished->count(), 1);
        disconnect(c);
        QVERIFY(drive.unmountFrom(mountPoint));

        QCOMPARE(values(*m_finished), QVariantList{!syncFails});
        QVERIFY(!engine().isSyncing());
        QCOMPARE(m_log->count(QtInfoMsg, "正在写入U盘缓存: \"" + dst + '"'), 1);
        QVERIFY(flushLineAtFinish >= 0);
        const int success = m_log->indexOf("同步成功完成");
        if (syncFails) {
            QCOMPARE(success, -1);
            QCOMPARE(m_log->count(QtCriticalMsg, "写入U盘缓存失败，退出代码： 1"), 1);
        } else {
            QVERIFY(success > flushLineAtFinish);
            QCOMPARE(m_log->lines().at(success).type, QtInfoMsg);
        }
    }
};

QTEST_MAIN(TestSyncManager)
#include "tst_syncmanager.moc"
