// The alarm database's way onto the drive: a consistent snapshot of a live
// database, an earlier copy kept or left as it is, and nothing written
// through what a drive may have planted at the database's name.
#include "testsupport.h"

#include "export/databasecopy.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <QThread>

#include <atomic>
#include <thread>


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;
using DatabaseCopy::Result;

namespace {

const QString kFailed = QStringLiteral("报警数据库复制失败：");
// The time of the earlier copy, in local time as its dated name shows it.
const QDateTime kEarlierTime(QDate(2026, 12, 7), QTime(10, 15, 0), Qt::LocalTime);

// A connection of the test's own, standing in for the recorder's writer.
class Connection
{
public:
    explicit Connection(const QString &path) { sqlite3_open(QFile::encodeName(path).constData(), &m_db); }
    ~Connection() { sqlite3_close(m_db); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    bool exec(const QByteArray &sql)
    {
        char *message = nullptr;
        const int rc = sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK)
            qWarning("%s: %s", sql.constData(), message);
        sqlite3_free(message);
        return rc == SQLITE_OK;
    }
    // `count` alarms, each in a transaction of its own as the recorder writes them.
    bool insert(int count, int blobSize = 16)
    {
        for (int i = 0; i < count; ++i) {
            if (!exec("INSERT INTO alarms(camera, at, data) VALUES('cam-" + QByteArray::number(i % 8) + "', "
                      + QByteArray::number(1764000000 + i) + ", randomblob(" + QByteArray::number(blobSize) + "))"))
                return false;
        }
        return true;
    }

private:
    sqlite3 *m_db = nullptr;
};

bool createAlarms(Connection &db, bool wal)
{
    return (!wal || (db.exec("PRAGMA journal_mode=WAL") && db.exec("PRAGMA wal_autocheckpoint=0")))
            && db.exec("PRAGMA synchronous=OFF")
            && db.exec("CREATE TABLE alarms(id INTEGER PRIMARY KEY, camera TEXT, at INTEGER, data BLOB)")
            && db.exec("CREATE INDEX alarms_at ON alarms(at)");
}

// The alarms in the database file at `path`, read from a scratch copy so that
// nothing appears beside it; -1 when it is no readable database.
int rowCount(const QString &path)
{
    QTemporaryDir scratch;
    const QString copy = scratch.filePath(QStringLiteral("count.db"));
    if (!QFile::copy(path, copy))
        return -1;
    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    int count = -1;
    if (sqlite3_open_v2(QFile::encodeName(copy).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK
            && sqlite3_prepare_v2(db, "SELECT count(*) FROM alarms", -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
        count = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return count;
}

// The entries of `dir` by name: "file <checksum>", "link <its text>", "dir" or
// "other", without opening anything but regular files (a FIFO would block).
QMap<QString, QByteArray> listing(const QString &dir)
{
    QMap<QString, QByteArray> entries;
    const QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        struct stat st;
        QByteArray value = "other";
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            value = "gone";
        else if (S_ISLNK(st.st_mode))
            value = "link " + QFile::encodeName(QFile::symLinkTarget(path));
        else if (S_ISDIR(st.st_mode))
            value = "dir";
        else if (S_ISREG(st.st_mode))
            value = "file " + checksum(path);
        entries.insert(name, value);
    }
    return entries;
}

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

class TestDatabaseCopy : public QObject
{
    Q_OBJECT
private slots:
    void copy_data();
    void copy();
    void stopWhileLocked();
};

void TestDatabaseCopy::copy_data()
{
    // source: "wal" (held open by a writer, 500 alarms in its WAL), "rollback"
    // (500 alarms, closed), "bytes" (no database), "missing", "damaged" (the
    // header of a database and nothing of one), "locked" (a writer holds it
    // exclusively throughout).
    // onDrive: what the export directory holds at the name before.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("onDrive");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("keptAs");
    QTest::addColumn<int>("rows"); // in the database at the name afterwards; -1: not a database

    const QString none;
    const QString dated = QStringLiteral("alarms-20261207-101500.db");
    const QString notRegular = QStringLiteral("U盘上的同名项目不是普通文件");
    QTest::newRow("WAL database held open by a writer") << "wal" << "nothing" << 5000 << int(Result::Copied)
                                                        << none << none << 500;
    QTest::newRow("earlier different copy kept under its date") << "wal" << "older copy" << 5000
                                                                << int(Result::Copied) << none << dated << 500;
    QTest::newRow("re-export of an unchanged database") << "wal" << "same copy" << 5000 << int(Result::Unchanged)
                                                        << none << none << 500;
    QTest::newRow("earlier byte copy of the same data") << "rollback" << "byte copy" << 5000
                                                        << int(Result::Unchanged) << none << none << 500;
    QTest::newRow("not a database: copied as bytes") << "bytes" << "nothing" << 5000 << int(Result::Copied) << none
                                                     << none << -1;
    QTest::newRow("not a database, same copy") << "bytes" << "same copy" << 5000 << int(Result::Unchanged) << none
                                               << none << -1;
    QTest::newRow("database missing") << "missing" << "nothing" << 5000 << int(Result::Failed)
                                      << "找不到数据库文件" << none << -1;
    QTest::newRow("damaged database") << "damaged" << "nothing" << 5000 << int(Result::Failed)
                                      << "数据库文件已损坏" << none << -1;
    QTest::newRow("locked past the time-out") << "locked" << "older copy" << 200 << int(Result::Failed)
                                              << "数据库被占用" << none << -1;
    QTest::newRow("link planted at the name") << "wal" << "link" << 5000 << int(Result::Failed) << notRegular
                                              << none << -1;
    QTest::newRow("FIFO at the name") << "wal" << "fifo" << 5000 << int(Result::Failed) << notRegular << none
                                      << -1;
    QTest::newRow("export directory is a link") << "wal" << "export directory a link" << 5000
                                                << int(Result::Failed) << "无法打开U盘上的导出目录" << none << -1;
}

void TestDatabaseCopy::copy()
{
    QFETCH(QString, source);
    QFETCH(QString, onDrive);
    QFETCH(int, timeoutMs);
    QFETCH(int, outcome);
    QFETCH(QString, reason);
    QFETCH(QString, keptAs);
    QFETCH(int, rows);

    QTemporaryDir dir;
    const QString recorder = dir.filePath(QStringLiteral("recorder"));
    const QString outside = dir.filePath(QStringLiteral("outside")); // what planted links point to
    QString target = dir.filePath(QStringLiteral("drive/rec01"));
    QVERIFY(QDir().mkpath(recorder) && QDir().mkpath(outside) && QDir().mkpath(target));
    const QString database = recorder + QStringLiteral("/alarms.db");
    const QString atName = target + QStringLiteral("/alarms.db");
    QVERIFY(writeFile(outside + QStringLiteral("/precious"), "the recorder's own file"));

    const bool isDatabase = source != QLatin1String("bytes") && source != QLatin1String("missing")
            && source != QLatin1String("damaged");
    const bool earlier = onDrive.contains(QLatin1String("copy"));
    QScopedPointer<Connection> writer;
    if (isDatabase) {
        writer.reset(new Connection(database));
        QVERIFY(createAlarms(*writer, source == QLatin1String("wal")));
    }
    // The source as it was at the earlier export, and then as it is now.
    if (isDatabase) {
        QVERIFY(writer->insert(onDrive == QLatin1String("same copy") ? 500 : 10));
    } else if (source == QLatin1String("bytes")) {
        QVERIFY(writeFile(database, onDrive == QLatin1String("same copy") ? "final" : "earlier"));
    } else if (source == QLatin1String("damaged")) {
        QVERIFY(writeFile(database, QByteArray("SQLite format 3\0", 16) + QByteArray(8192, 'x')));
    }
    if (onDrive == QLatin1String("byte copy")) {
        QVERIFY(writer->insert(490));
        writer.reset(); // closed: everything is in the database file
        QVERIFY(QFile::copy(database, atName));
    } else if (earlier) {
        QCOMPARE(DatabaseCopy::copy(database, target).outcome, Result::Copied);
        QVERIFY(setModified(atName, kEarlierTime));
    }
    if (onDrive == QLatin1String("same copy")) {
        // The recorder wrote without changing anything.
        QVERIFY(!isDatabase || writer->exec("UPDATE alarms SET camera = camera WHERE id <= 10"));
    } else if (isDatabase && writer) {
        QVERIFY(writer->insert(490));
    } else if (source == QLatin1String("bytes")) {
        QVERIFY(writeFile(database, randomBytes(3 * 1024 * 1024 + 17)));
    }
    if (source == QLatin1String("wal")) {
        // The premise: the database file alone misses what is in the WAL.
        QVERIFY(QFileInfo(database + QStringLiteral("-wal")).size() > 0);
        QTemporaryDir scratch;
        QVERIFY(QFile::copy(database, scratch.filePath(QStringLiteral("bytes.db"))));
        QVERIFY(rowCount(scratch.filePath(QStringLiteral("bytes.db"))) != 500);
    }

    const QString link = QStringLiteral("../../outside/");
    if (onDrive == QLatin1String("link"))
        QVERIFY(QFile::link(link + QStringLiteral("precious"), atName));
    if (onDrive == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(atName).constData(), 0644), 0);
    if (onDrive == QLatin1String("export directory a link")) {
        target = dir.filePath(QStringLiteral("drive/linked"));
        QVERIFY(QFile::link(QStringLiteral("../outside"), target));
    }

    if (source == QLatin1String("locked"))
        QVERIFY(writer->exec("BEGIN EXCLUSIVE") && writer->insert(1));

    const QMap<QString, QByteArray> before = listing(target);
    const QMap<QString, QByteArray> outsideBefore = snapshot(outside);
    QElapsedTimer clock;
    clock.start();
    const Result result = DatabaseCopy::copy(database, target, timeoutMs);
    const qint64 elapsed = clock.elapsed();
    const QMap<QString, QByteArray> after = listing(target);

    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(result.error, reason.isEmpty() ? QString() : kFailed + reason);
    QCOMPARE(result.keptAs, keptAs);
    QCOMPARE(snapshot(outside), outsideBefore);
    if (source == QLatin1String("locked"))
        QVERIFY2(elapsed < timeoutMs + 2000, qPrintable(QString::number(elapsed)));

    // The directory holds what it held, plus the new copy at the name and
    // the earlier one under its dated name: no temporary file, no journal.
    QMap<QString, QByteArray> expected = before;
    if (result.outcome == Result::Copied) {
        expected.remove(QStringLiteral("alarms.db"));
        if (!keptAs.isEmpty())
            expected.insert(keptAs, before.value(QStringLiteral("alarms.db")));
        QVERIFY(after.contains(QStringLiteral("alarms.db")));
        expected.insert(QStringLiteral("alarms.db"), after.value(QStringLiteral("alarms.db")));
    }
    QCOMPARE(after, expected);
    if (result.outcome != Result::Failed) {
        QCOMPARE(rowCount(atName), rows);
        if (rows < 0)
            QCOMPARE(readFile(atName), readFile(database));
    }
    if (!keptAs.isEmpty() && isDatabase)
        QCOMPARE(rowCount(target + QLatin1Char('/') + keptAs), 10);
}

// A stop while the writer holds the database: the snapshot sees it within
// the join the unmount waits for (1 s), not after its 5 s time-out, and
// leaves nothing behind.
void TestDatabaseCopy::stopWhileLocked()
{
    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("alarms.db"));
    const QString target = dir.filePath(QStringLiteral("drive"));
    QVERIFY(QDir().mkpath(target));
    Connection writer(database);
    QVERIFY(createAlarms(writer, false) && writer.insert(10));
    QVERIFY(writer.exec("BEGIN EXCLUSIVE") && writer.insert(1));
    std::atomic<bool> cancel{false};
    std::thread stopper([&] {
        QThread::msleep(200);
        cancel = true;
    });
    QElapsedTimer clock;
    clock.start();
    const Result result = DatabaseCopy::copy(database, target, 5000, &cancel);
    const qint64 elapsed = clock.elapsed();
    stopper.join();
    QCOMPARE(result.outcome, Result::Failed);
    QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));
    QCOMPARE(listing(target), (QMap<QString, QByteArray>()));
}

QTEST_MAIN(TestDatabaseCopy)
#include "tst_databasecopy.moc"
