// The export's SHA256SUMS: libcrypto's SHA-256 against published digests, and
// each manifest line against the real coreutils sha256sum, which must print
// the same bytes for the same file and accept the line with -c --strict.
// Needs no root and no drive.

#include "testsupport.h"

#include "proof/manifest.h"
#include "platform/sha256.h"

#include <QCryptographicHash>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

// File names are bytes here; QString would not carry those that are not UTF-8.
bool writeRaw(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    return ::close(fd) == 0 && ok;
}

// Runs a shell script with the directory as $1 and the rest as $2...
int shell(const QString &script, const QStringList &arguments, QByteArray *output)
{
    return run(QStringLiteral("sh"), QStringList{QStringLiteral("-c"), script, QStringLiteral("sh")} + arguments,
               output);
}

// What sha256sum prints for every file of `dir` and of its subdirectories
// (one level), by the path relative to `dir`.
int sha256sumOfAll(const QString &dir, QByteArray *output)
{
    return shell(QStringLiteral("cd \"$1\" || exit 9; for f in * */*; do "
                                "if [ -f \"$f\" ]; then sha256sum -- \"$f\" || exit 9; fi; done"),
                 {dir}, output);
}

int checkManifest(const QString &dir, QByteArray *output)
{
    return shell(QStringLiteral("cd \"$1\" && exec sha256sum -c --strict SHA256SUMS"), {dir}, output);
}

QByteArray sha256(const QByteArray &data)
{
    Sha256 sha;
    sha.update(data);
    return sha.finish();
}

} // namespace

class ManifestTest : public QObject
{
    Q_OBJECT
private slots:
    void digest_data();
    void digest();
    void digestObject();
    void matchesSha256sum_data();
    void matchesSha256sum();
    void refusesLinesThatNameNoFile_data();
    void refusesLinesThatNameNoFile();
};

void ManifestTest::digest_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("piece"); // bytes per update(), 0 for one call of hash()
    QTest::addColumn<QByteArray>("hex");

    const QByteArray empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const QByteArray abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const QByteArray twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const QByteArray twoBlocksHex = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
    const QByteArray million(1000000, 'a');
    const QByteArray millionHex = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

    QTest::newRow("empty, one shot") << QByteArray() << 0 << empty;
    QTest::newRow("empty, no update") << QByteArray() << 1 << empty;
    QTest::newRow("abc") << QByteArray("abc") << 0 << abc;
    QTest::newRow("two blocks, byte by byte") << twoBlocks << 1 << twoBlocksHex;
    QTest::newRow("million a, one shot") << million << 0 << millionHex;
    // Pieces across the 64-byte block boundaries, and the read-back's size.
    QTest::newRow("million a, 63") << million << 63 << millionHex;
    QTest::newRow("million a, 64") << million << 64 << millionHex;
    QTest::newRow("million a, 65") << million << 65 << millionHex;
    QTest::newRow("million a, 1 MiB") << million << 1024 * 1024 << millionHex;
}

void ManifestTest::digest()
{
    QFETCH(QByteArray, message);
    QFETCH(int, piece);
    QFETCH(QByteArray, hex);

    QByteArray digest;
    if (piece == 0) {
        digest = sha256(message);
    } else {
        Sha256 sha;
        for (int at = 0; at < message.size(); at += piece)
            QVERIFY(sha.update(message.constData() + at, size_t(qMin(piece, message.size() - at))));
        digest = sha.finish();
    }
    QCOMPARE(digest.size(), Sha256::kDigestSize);
    QCOMPARE(digest.toHex(), hex);
}

// One object hashes file after file: finish() and reset() start again, and a
// move carries the running digest along.
void ManifestTest::digestObject()
{
    const QByteArray data = randomBytes(300000);
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256);

    Sha256 sha;
    sha.update(data);
    QCOMPARE(sha.finish(), expected);
    sha.update(data);
    QCOMPARE(sha.finish(), expected);

    sha.update("left over", 9);
    QVERIFY(sha.reset());
    sha.update(data.left(1000));
    Sha256 moved(std::move(sha));
    QVERIFY(!sha.isValid()); // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move): moved-from state
    QVERIFY(!sha.update("x", 1));
    QVERIFY(sha.finish().isEmpty());
    moved.update(data.mid(1000));
    Sha256 assigned;
    assigned.update("other", 5);
    assigned = std::move(moved);
    QVERIFY(assigned.isValid());
    QCOMPARE(assigned.finish(), expected);
}

void ManifestTest::matchesSha256sum_data()
{
    QTest::addColumn<QByteArray>("name");     // relative to the manifest's directory
    QTest::addColumn<bool>("escaped");        // the line starts with a backslash

    QTest::newRow("plain") << QByteArray("00001.mp4") << false;
    QTest::newRow("Chinese, in a subdirectory") << QByteArray("前门/2026-12-09 录像.mp4") << false;
    QTest::newRow("space inside") << QByteArray("camera 1.mp4") << false;
    QTest::newRow("leading space") << QByteArray(" lead.mp4") << false;
    QTest::newRow("trailing space") << QByteArray("trail ") << false;
    // A "*" after the two spaces must not read as the binary-mode marker.
    QTest::newRow("leading star") << QByteArray("*star") << false;
    QTest::newRow("not UTF-8") << QByteArray("bad\xff\xfe\x80.mp4") << false;
    QTest::newRow("tab, SOH and DEL as they are") << QByteArray("c\tt\x01r\x7fl") << false;
    QTest::newRow("backslash") << QByteArray("back\\slash") << true;
    QTest::newRow("backslash and n, not a newline") << QByteArray("a\\nb") << true;
    QTest::newRow("trailing backslash") << QByteArray("end\\") << true;
    QTest::newRow("newline") << QByteArray("new\nline") << true;
    QTest::newRow("carriage return") << QByteArray("car\rret") << true;
    // sha256sum -c drops a "\r" at the end of a line it reads.
    QTest::newRow("trailing carriage return") << QByteArray("end\r") << true;
    QTest::newRow("all three, in a subdirectory") << QByteArray("d\\\n\r/\r\n\\") << true;
}

void ManifestTest::matchesSha256sum()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, escaped);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    const int slash = name.indexOf('/');
    if (slash > 0)
        QCOMPARE(::mkdir(QByteArray(root + '/' + name.left(slash)).constData(), 0755), 0);
    const QByteArray content = randomBytes(5000);
    QVERIFY(writeRaw(root + '/' + name, content));

    const QByteArray line = manifestLine(sha256(content), name);
    QByteArray printed;
    QCOMPARE(sha256sumOfAll(dir.path(), &printed), 0);
    QCOMPARE(line, printed);
    QCOMPARE(line.startsWith('\\'), escaped);

    QVERIFY(writeRaw(root + '/' + kManifestFileName, line));
    QByteArray report;
    QVERIFY2(checkManifest(dir.path(), &report) == 0, report.constData());

    QVERIFY(writeRaw(root + '/' + name, content + 'x'));
    QCOMPARE(checkManifest(dir.path(), &report), 1);
    QVERIFY2(report.contains("1 computed checksum did NOT match"), report.constData());
}

void ManifestTest::refusesLinesThatNameNoFile_data()
{
    QTest::addColumn<QByteArray>("digest");
    QTest::addColumn<QByteArray>("name");

    const QByteArray digest = sha256("x");
    QTest::newRow("digest of 31 bytes") << digest.left(31) << QByteArray("a.mp4");
    QTest::newRow("digest in hex") << digest.toHex() << QByteArray("a.mp4");
    QTest::newRow("empty name") << digest << QByteArray();
    QTest::newRow("absolute path") << digest << QByteArray("/etc/passwd");
    QTest::newRow("NUL in the name") << digest << QByteArray("a\0b", 3);
}

void ManifestTest::refusesLinesThatNameNoFile()
{
    QFETCH(QByteArray, digest);
    QFETCH(QByteArray, name);
    QCOMPARE(manifestLine(digest, name), QByteArray());
}

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
