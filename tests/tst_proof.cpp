// The proof of what the stick holds, through the window on real drives: a
// counterfeit stick that loses what lies past its real capacity, a stick whose
// bytes change behind the page cache after the flush, a second export that
// reads back what rsync skipped, and the manifest and the record a recipient
// checks.
#include "exportfixture.h"
#include "counterfeitdrive.h"
#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "platform/descriptor.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

using namespace TestSupport;

namespace {

// `files` recordings of `bytes` each in one camera folder, and the database.
void makeCameraRecordings(int files, int bytes)
{
    QDir(kMedia + "/record").removeRecursively();
    for (int i = 0; i < files; ++i)
        writeFile(QString("%1/ch1/%2.mp4").arg(kRecordings).arg(i, 2, 10, QChar('0')), randomBytes(bytes));
    writeFile(kDatabase, randomBytes(64 * 1024));
}

// Where the first bytes of `path` (on a mounted drive) lie on its device.
qint64 physicalOffset(const QString &path)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY));
    alignas(struct fiemap) char buffer[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
    auto *map = reinterpret_cast<struct fiemap *>(buffer);
    map->fm_length = ~0ull;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    if (!file.isValid() || ::ioctl(file.get(), FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents < 1)
        return -1;
    return qint64(map->fm_extents[0].fe_physical);
}

int runIn(const QString &dir, const QString &program, const QStringList &arguments, QByteArray *output,
          const QString &input = QString())
{
    QProcess process;
    process.setWorkingDirectory(dir);
    if (!input.isEmpty())
        process.setStandardInputFile(input);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        return -1;
    *output = process.readAll();
    return process.exitCode();
}

} // namespace

class ProofTest : public QObject, protected ExportFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        REQUIRE_SANDBOX();
        setUpOnce();
    }
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void counterfeit_data();
    void counterfeit();
    void changedBehindTheCache();
    void reexportReadsBack();
    void manifestAndRecord();
    void signedRecordings();

private:
    // 开始复制, and the wait for the verdict, whose box has been answered.
    ExportVerdict exportAndWait()
    {
        QSignalSpy finished(session(), &ExportSession::finished);
        clickStart();
        if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, kCopyTimeoutMs))
            return ExportVerdict();
        if (!QTest::qWaitFor([] { return !QApplication::activeModalWidget(); }, 5000))
            return ExportVerdict();
        return verdictOf(finished, 0);
    }
};

// A stick that reports 64 MiB and keeps 24: what is written past that is
// lost. The copy itself succeeds; reading the stick back says the truth.
void ProofTest::counterfeit_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("wraps"); // keeps 32 MiB and wraps around onto them
    QTest::newRow("ext4") << "ext4" << false;
    QTest::newRow("exFAT (FUSE)") << "exfat" << false;
    // Late writes land on the file system's own tables: the stick does not
    // mount again.
    QTest::newRow("ext4, wrapping around") << "ext4" << true;
}

void ProofTest::counterfeit()
{
    QFETCH(QString, fileSystem);
    QFETCH(bool, wraps);
    if (!CounterfeitDrive::unavailableReason().isEmpty())
        QSKIP(qPrintable(CounterfeitDrive::unavailableReason()));
    makeCameraRecordings(34, 1200 * 1000);
    CounterfeitDrive stick(64, wraps ? 32 : 24,
                           wraps ? CounterfeitDrive::Mode::WrapsAround : CounterfeitDrive::Mode::LosesData, fileSystem);
    QVERIFY2(stick.isValid(), qPrintable(stick.errorString()));
    openWindow();
    CHECKED(addDrive(stick.kernelName()));
    const ExportVerdict verdict = exportAndWait();
    if (wraps) {
        QVERIFY(verdict.copied && !verdict.verified && !verdict.success);
        QCOMPARE(m_boxes->count(), 1);
        QVERIFY2(m_boxes->texts().at(0).startsWith("校验失败：U盘卸载后无法再次挂载"), qPrintable(m_boxes->texts().at(0)));
        QVERIFY(!DeviceManager::instance().isMounted());
        QCOMPARE(status(), QString("请插入U盘"));
        return;
    }
    QVERIFY(verdict.copied);
    QVERIFY(verdict.verified);
    QVERIFY(!verdict.success);
    QVERIFY2(verdict.mismatched > 0 && verdict.mismatched < 34, qPrintable(QString::number(verdict.mismatched)));
    QVERIFY(verdict.counterfeit);
    CHECKED(expectEnded("校验失败"));
    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->boxes().at(0).title, QString("错误"));
    const QString text = m_boxes->boxes().at(0).text;
    QVERIFY2(text.startsWith("校验失败：") && text.contains("U盘的实际容量可能小于其标称的容量"), qPrintable(text));
    std::printf("%s: %d of 34 recordings read back wrong\n", qPrintable(fileSystem), verdict.mismatched);
    click("exitButton");
    QVERIFY(!DeviceManager::instance().isMounted());
    QVERIFY(quitWasPending());
}

// After the flush the stick's bytes of one recording change behind the
// cache, which still holds what was written: only a read from the stick
// itself sees it.
void ProofTest::changedBehindTheCache()
{
    makeCameraRecordings(6, 256 * 1024);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    const QString victim = kTarget + "/ch1/03.mp4";
    bool changed = false;
    connect(session(), &ExportSession::stateChanged, this, [&](ExportSession::State state) {
        if (state != ExportSession::Verifying)
            return;
        const qint64 offset = physicalOffset(victim);
        QFile image(m_drive->imagePath());
        changed = offset > 0 && image.open(QIODevice::ReadWrite) && image.seek(offset + 4096)
                && image.write(QByteArray(4096, 'X')) == 4096;
    });
    const ExportVerdict verdict = exportAndWait();
    QVERIFY(changed);
    QVERIFY(verdict.copied && verdict.verified && !verdict.success);
    QCOMPARE(verdict.mismatched, 1);
    QCOMPARE(verdict.firstMismatched, QStringList{"ch1/03.mp4"});
    QVERIFY(!verdict.counterfeit);
    CHECKED(expectEnded("校验失败"));
    QVERIFY2(m_boxes->texts().value(0).startsWith("校验失败：1 个文件"), qPrintable(m_boxes->texts().value(0)));
    exitAndExpectUnmounted();
}

// A second export of the same recordings copies nothing and reads every file
// back all the same: a copy spoiled on the stick since (same size and time,
// so rsync skips it) is found.
void ProofTest::reexportReadsBack()
{
    makeCameraRecordings(5, 128 * 1024);
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    ExportVerdict verdict = exportAndWait();
    QVERIFY(verdict.success);
    QCOMPARE(verdict.verifiedFiles, 6);
    // The first recording, spoiled in place, its time put back.
    const QString spoiled = kTarget + "/ch1/00.mp4";
    struct stat before;
    QCOMPARE(::stat(QFile::encodeName(spoiled).constData(), &before), 0);
    {
        QFile file(spoiled);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(100) && file.write("spoiled") == 7);
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(spoiled).constData(), times, 0), 0);
    m_boxes->clear();
    verdict = exportAndWait();
    QCOMPARE(verdict.bytesDone, qint64(0)); // rsync had nothing to send
    QVERIFY(verdict.verified && !verdict.success);
    QCOMPARE(verdict.verifiedFiles, 5);
    QCOMPARE(verdict.firstMismatched, QStringList{"ch1/00.mp4"});
    exitAndExpectUnmounted();
}

// What a recipient gets: SHA256SUMS that `sha256sum -c --strict` accepts in
// the export directory, names of every kind included, and a record that
// grows by a section with each export; a changed manifest keeps the earlier.
void ProofTest::manifestAndRecord()
{
    makeCameraRecordings(2, 64 * 1024);
    for (const char *name : {"ch1/录像 一.mp4", "ch1/back\\slash.mp4", "ch1/new\nline.mp4"})
        QVERIFY(writeFile(kRecordings + '/' + QString::fromUtf8(name), randomBytes(5000)));
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    QVERIFY(exportAndWait().success);
    QByteArray output;
    QCOMPARE(runIn(kTarget, "sha256sum", {"-c", "--strict", "SHA256SUMS"}, &output), 0);
    // The recordings, the database, recordings.csv, index.html and the record.
    QCOMPARE(output.count(": OK\n"), 9);
    const QByteArray record = readFile(kTarget + "/导出记录.txt");
    for (const char *part : {"录像机 Recorder: rec01", "录像文件 Recordings: 5 个", "校验 Verification: 全部 6 个文件与录像一致",
                             "时间范围 Span: 全部录像", "签名 Signature: 未签名 not signed：找不到签名密钥"})
        QVERIFY2(record.contains(part), record.constData());

    writeFile(kRecordings + "/ch1/later.mp4", randomBytes(5000));
    QVERIFY(exportAndWait().success);
    QCOMPARE(runIn(kTarget, "sha256sum", {"-c", "--strict", "SHA256SUMS"}, &output), 0);
    QCOMPARE(output.count(": OK\n"), 10);
    QCOMPARE(QDir(kTarget).entryList({"SHA256SUMS-*"}).size(), 1);
    QCOMPARE(readFile(kTarget + "/导出记录.txt").count("======== 导出记录 Export record ========"), 2);
    QVERIFY(readFile(kTarget + "/导出记录.txt").startsWith(record));
    exitAndExpectUnmounted();
}

// Real recordings signed with the recorder's own key: OpenSSH accepts the
// signature and refuses it once SHA256SUMS changes, even with correct hashes
// of a changed recording; recordings.csv read by Python's csv module matches
// the files; a planted gap is in the record and contiguous recordings give
// none; the private key is nowhere on the stick or in the log.
void ProofTest::signedRecordings()
{
    for (const char *program : {"ffmpeg", "ssh-keygen", "openssl", "python3"}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(program)));
    }
    QDir(kMedia + "/record").removeRecursively();
    const QString clip = kMedia + "/clip.mp4";
    QByteArray output;
    QCOMPARE(runIn(kMedia, "ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25",
                                      "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", clip}, &output), 0);
    // ch1: two contiguous recordings, then one a minute later; ch2 contiguous.
    const qint64 base = 1765000000;
    const QList<QPair<QString, qint64>> recordings{{"ch1/a.mp4", base}, {"ch1/b.mp4", base + 2}, {"ch1/c.mp4", base + 62},
                                                   {"ch2/x, \"y\".mp4", base}, {"ch2/z.mp4", base + 2}};
    for (const auto &[name, end] : recordings) {
        QVERIFY(writeFile(kRecordings + '/' + name, readFile(clip)));
        QFile file(kRecordings + '/' + name);
        QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(QDateTime::fromSecsSinceEpoch(end), QFileDevice::FileModificationTime));
    }
    writeFile(kDatabase, randomBytes(4096));
    const QString key = "/etc/orveld/export_signing_key";
    QCOMPARE(runIn(kMedia, "openssl", {"genpkey", "-algorithm", "ed25519", "-out", key}, &output), 0);
    QVERIFY(QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner));
    openWindow();
    CHECKED(makeDrive(64));
    CHECKED(addDrive());
    const ExportVerdict verdict = exportAndWait();
    const QByteArray pem = readFile(key);
    QFile::remove(key);
    QVERIFY2(verdict.success && verdict.fingerprint.startsWith("SHA256:"), qPrintable(m_log->dump()));
    QCOMPARE(verdict.gaps, 1);
    QCOMPARE(runIn(kTarget, "ssh-keygen", {"-lf", "export_signing_key.pub"}, &output), 0);
    QCOMPARE(output.split(' ').value(1), verdict.fingerprint.toLatin1());

    const QStringList verify{"-Y", "verify", "-f", "allowed_signers", "-I", "rec01", "-n", "file", "-s", "SHA256SUMS.sig"};
    QCOMPARE(runIn(kTarget, "ssh-keygen", verify, &output, kTarget + "/SHA256SUMS"), 0);
    QCOMPARE(runIn(kTarget, "sha256sum", {"-c", "--strict", "SHA256SUMS"}, &output), 0);
    for (const char *own : {"导出记录.txt: OK", "recordings.csv: OK", "index.html: OK"})
        QVERIFY2(output.contains(own), output.constData());

    // Python's csv module, row for row against the files on the stick.
    QCOMPARE(runIn(kTarget, "python3", {"-c", "import csv, json; print(json.dumps(list(csv.DictReader("
                                              "open('recordings.csv', newline='', encoding='utf-8')))))"},
                   &output),
             0);
    const QJsonArray rows = QJsonDocument::fromJson(output).array();
    QCOMPARE(rows.size(), recordings.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QJsonObject row = rows.at(i).toObject();
        QCOMPARE(row.value("file").toString(), recordings.at(i).first);
        QCOMPARE(row.value("camera").toString(), recordings.at(i).first.section('/', 0, 0));
        const QByteArray bytes = readFile(kTarget + '/' + recordings.at(i).first);
        QCOMPARE(row.value("bytes").toString().toLongLong(), qint64(bytes.size()));
        QCOMPARE(row.value("sha256").toString().toLatin1(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        QCOMPARE(QDateTime::fromString(row.value("end").toString(), Qt::ISODate).toSecsSinceEpoch(), recordings.at(i).second);
        QCOMPARE(row.value("duration_s").toString(), QString("2.000"));
    }
    const QByteArray record = readFile(kTarget + "/导出记录.txt");
    QCOMPARE(record.count("缺口 Gaps (> 10 s): 1\n"), 1);
    QCOMPARE(record.count("缺口 Gaps (> 10 s): 0\n"), 1);
    QVERIFY2(record.contains(verdict.fingerprint.toLatin1()), record.constData());

    // A recording changed and its line rewritten with its correct new hash,
    // as anyone with the stick could (a changed byte of a signed message is
    // refused in tst_signing).
    const QByteArray sums = readFile(kTarget + "/SHA256SUMS");
    QByteArray recording = readFile(kTarget + "/ch1/a.mp4");
    const QByteArray oldHash = QCryptographicHash::hash(recording, QCryptographicHash::Sha256).toHex();
    recording[recording.size() / 2] = char(recording[recording.size() / 2] ^ 1);
    QVERIFY(writeFile(kTarget + "/ch1/a.mp4", recording));
    const QByteArray newHash = QCryptographicHash::hash(recording, QCryptographicHash::Sha256).toHex();
    QVERIFY(sums.contains(oldHash + "  ch1/a.mp4\n"));
    QVERIFY(writeFile(kTarget + "/SHA256SUMS", QByteArray(sums).replace(oldHash + "  ch1/a.mp4\n", newHash + "  ch1/a.mp4\n")));
    QCOMPARE(runIn(kTarget, "sha256sum", {"-c", "--strict", "SHA256SUMS"}, &output), 0);
    QVERIFY(runIn(kTarget, "ssh-keygen", verify, &output, kTarget + "/SHA256SUMS") != 0);

    // The private key, as text and as its 32-byte seed, is nowhere.
    QVERIFY(!pem.isEmpty());
    const QByteArray body = pem.split('\n').value(1);
    const QByteArray seed = QByteArray::fromBase64(body).right(32);
    QDirIterator files(kMedia + "/usb_backup", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QByteArray content = readFile(files.next());
        QVERIFY2(!content.contains(body) && !content.contains(seed), qPrintable(files.filePath()));
    }
    QVERIFY(!m_log->dump().toLatin1().contains(body));
    exitAndExpectUnmounted();
}

QTEST_MAIN(ProofTest)
#include "tst_proof.moc"
