// The copy engine's reading of rsync's progress reports, from hand-made
// chunks and from the real rsync's output cut as a pipe may cut it. Needs no
// root and no drive.

#include "testsupport.h"

#include "sync/syncmanager.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace TestSupport;

class TestProgressParser : public QObject
{
    Q_OBJECT

    SyncManager &engine() { return SyncManager::instance(); }
    std::unique_ptr<QSignalSpy> m_progress;

private slots:
    void init() { m_progress = std::make_unique<QSignalSpy>(&engine(), &SyncManager::syncProgress); }

    void parser_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QList<int>>("expected");
        const QByteArray name = "录像.mp4\n";
        QTest::newRow("one report") << QByteArrayList{"      1,048,576  45%  102.40MB/s    0:00:00\r"} << QList<int>{45};
        QTest::newRow("two reports") << QByteArrayList{"  100  10%  1.00kB/s  0:00:00\r  200  20%  2.00kB/s  0:00:00\r"} << QList<int>{10};
        QTest::newRow("100") << QByteArrayList{"100% "} << QList<int>{100};
        QTest::newRow("leading zeros") << QByteArrayList{"007% "} << QList<int>{7};
        QTest::newRow("percent sign last") << QByteArrayList{"      1,048,576  45%"} << QList<int>{};
        QTest::newRow("report split") << QByteArrayList{"clip.mp4\n      1,048,576  45", "%  102.40MB/s    0:00:00\r"} << QList<int>{};
        QTest::newRow("file names") << QByteArrayList{"2024-01-01/ch1_0800.mp4\n2024-01-01/ch1_0900.mp4\n"} << QList<int>{};
        QTest::newRow("name with 50% ") << QByteArrayList{"clip 50% done.mp4\n  1,024 100%  1.00MB/s  0:00:00\r"} << QList<int>{50};
        QTest::newRow("too many digits") << QByteArrayList{"99999999999% "} << QList<int>{0};
        QTest::newRow("empty") << QByteArrayList{QByteArray()} << QList<int>{};
        QTest::newRow("split UTF-8") << QByteArrayList{name.left(2), name.mid(2)} << QList<int>{};

        // Real rsync output, cut after every report and line as a pipe may cut it.
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("src/big.bin"), randomBytes(2 * 1024 * 1024)));
        QVERIFY(writeFile(dir.filePath("src/sub/small 1.txt"), "small"));
        QVERIFY(writeFile(dir.filePath("src/empty"), {}));
        QProcess rsync;
        rsync.start("rsync", {"-av", "--progress", dir.filePath("src/"), dir.filePath("dst")});
        QVERIFY(rsync.waitForFinished(60000));
        QCOMPARE(rsync.exitCode(), 0);
        const QByteArray output = rsync.readAllStandardOutput();
        int reports = 0, start = 0;
        for (int i = 0; i < output.size(); ++i) {
            if (output.at(i) != '\r' && output.at(i) != '\n')
                continue;
            const QByteArray chunk = output.mid(start, i + 1 - start);
            start = i + 1;
            QList<int> expected;   // the report's column that ends in "%"
            for (const QByteArray &field : chunk.simplified().split(' ')) {
                if (field.endsWith('%') && expected.isEmpty())
                    expected << field.chopped(1).toInt();
            }
            reports += expected.size();
            QTest::addRow("rsync output at %d", i) << QByteArrayList{chunk} << expected;
        }
        QVERIFY2(reports >= 4, output.constData());
    }
    void parser()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QList<int>, expected);
        int matched = 0;
        for (const QByteArray &chunk : chunks)
            matched += engine().parseRsyncProgress(QString::fromUtf8(chunk)) ? 1 : 0;
        QVariantList expectedValues;
        for (int value : expected)
            expectedValues << value;
        QCOMPARE(values(*m_progress), expectedValues);
        QCOMPARE(matched, expected.size());
    }

};

QTEST_MAIN(TestProgressParser)
#include "tst_progressparser.moc"
