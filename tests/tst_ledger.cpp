// The verification's verdict on each file, against a directory standing in
// for the stick: what it gives back, what the recorder changed meanwhile, and
// the marks of a counterfeit stick. Needs no drive and no root.
#include "testsupport.h"

#include "proof/ledger.h"
#include "platform/descriptor.h"

#include <QDir>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;
using Verdict = ExportLedger::Verdict;
Q_DECLARE_METATYPE(Verdict)

namespace {

bool setTime(const QString &path, qint64 seconds)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
            && file.setFileTime(QDateTime::fromSecsSinceEpoch(seconds), QFileDevice::FileModificationTime);
}

} // namespace

class TestLedger : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
};

void TestLedger::verdicts_data()
{
    // The stick's copy of a 1 MiB recording "ch1/a.mp4", as the test
    // leaves it; the other recording, "ch1/b.mp4", is copied faithfully.
    QTest::addColumn<QString>("copy");
    QTest::addColumn<bool>("hashedAtCopy"); // false: hashed during the verification, as what rsync skipped
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<bool>("counterfeit");
    QTest::newRow("faithful copy") << "same" << true << Verdict::Verified << false;
    QTest::newRow("faithful copy rsync skipped") << "same" << false << Verdict::Verified << false;
    QTest::newRow("a flipped byte") << "flipped" << true << Verdict::Mismatch << false;
    QTest::newRow("zeros past its middle") << "zeros" << true << Verdict::Mismatch << true;
    QTest::newRow("another file's data past its middle") << "other" << true << Verdict::Mismatch << true;
    QTest::newRow("not on the stick") << "missing" << true << Verdict::Missing << false;
    QTest::newRow("a link planted for it") << "link" << true << Verdict::ReadError << false;
    QTest::newRow("the recording grew after the copy") << "older" << true << Verdict::Changed << false;
    QTest::newRow("deleted before the copy") << "vanished" << true << Verdict::Vanished << false;
}

void TestLedger::verdicts()
{
    QFETCH(QString, copy);
    QFETCH(bool, hashedAtCopy);
    QFETCH(Verdict, verdict);
    QFETCH(bool, counterfeit);
    QTemporaryDir dir;
    const QString source = dir.filePath("record");
    const QString stick = dir.filePath("stick");
    const QByteArray a = randomBytes(1024 * 1024);
    const QByteArray b = randomBytes(1024 * 1024);
    QVERIFY(writeFile(source + "/ch1/a.mp4", a) && writeFile(source + "/ch1/b.mp4", b));
    QVERIFY(setTime(source + "/ch1/a.mp4", 1764000000) && setTime(source + "/ch1/b.mp4", 1764000300));
    QVERIFY(writeFile(stick + "/ch1/b.mp4", b) && setTime(stick + "/ch1/b.mp4", 1764000300));
    QByteArray onStick = a;
    if (copy == "flipped")
        onStick[1000] = char(onStick[1000] ^ 1);
    else if (copy == "zeros")
        onStick.replace(512 * 1024, 512 * 1024, QByteArray(512 * 1024, '\0'));
    else if (copy == "other")
        onStick.replace(512 * 1024, 512 * 1024, b.mid(0, 512 * 1024));
    if (copy == "older")
        onStick.chop(4096);
    if (copy == "link")
        QVERIFY(QDir().mkpath(stick + "/ch1") && QFile::link(source + "/ch1/a.mp4", stick + "/ch1/a.mp4"));
    else if (copy != "missing" && copy != "vanished")
        QVERIFY(writeFile(stick + "/ch1/a.mp4", onStick) && setTime(stick + "/ch1/a.mp4", 1764000000));

    ExportLedger ledger;
    ledger.setCameras({"ch1"});
    for (const char *name : {"ch1/a.mp4", "ch1/b.mp4"}) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(source + '/' + name).constData(), &st), 0);
        ledger.add(name, 0, st);
    }
    ledger.sort();
    const Descriptor sourceFd(::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY));
    const Descriptor stickFd(::open(QFile::encodeName(stick).constData(), O_RDONLY | O_DIRECTORY));
    const std::atomic<bool> cancelled{false};
    if (hashedAtCopy) {
        ledger.hashSource(sourceFd.get(), "ch1/a.mp4", cancelled);
        ledger.hashSource(sourceFd.get(), "ch1/b.mp4", cancelled);
    }
    // What the recorder does after the copy.
    if (copy == "older")
        QVERIFY(writeFile(source + "/ch1/a.mp4", a) && setTime(source + "/ch1/a.mp4", 1764000000));
    if (copy == "vanished")
        QVERIFY(QFile::remove(source + "/ch1/a.mp4"));
    if (copy == "older" && !hashedAtCopy)
        QSKIP("no such row");

    std::atomic<qint64> read{0};
    const ExportLedger::Result result = ledger.verify(sourceFd.get(), stickFd.get(), 0, cancelled, &read);
    QVERIFY(result.complete);
    QCOMPARE(ledger.entry(ledger.find("ch1/b.mp4")).verdict, Verdict::Verified);
    QCOMPARE(ledger.entry(ledger.find("ch1/a.mp4")).verdict, verdict);
    QCOMPARE(result.counterfeit(), counterfeit);
    const bool fault = verdict == Verdict::Mismatch || verdict == Verdict::Missing || verdict == Verdict::ReadError;
    QCOMPARE(result.mismatched, fault ? 1 : 0);
    QCOMPARE(result.firstMismatched, fault ? QStringList{"ch1/a.mp4"} : QStringList());
    QCOMPARE(result.changed, verdict == Verdict::Changed ? 1 : 0);
    QCOMPARE(result.verified, verdict == Verdict::Verified ? 2 : 1);
}

QTEST_GUILESS_MAIN(TestLedger)
#include "tst_ledger.moc"
