// SHA-256 of the same buffer by libcrypto's EVP (platform/sha256.h, what the
// export's read-back uses) and by QCryptographicHash, each fed in pieces of
// the sizes a file read hands over.
//
//   bench_hash [MiB] [runs]
//
// Hashes a buffer of MiB mebibytes (default 256) in 1 MiB and 64 KiB pieces,
// `runs` times each (default 3), and prints the best throughput in MiB/s as
// "key value" lines: evp_<piece>_mib_s, qt_<piece>_mib_s and
// ratio_<piece> (EVP over Qt). Exits with 1 when the two digests differ.

#include "platform/sha256.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <cstring>

namespace {

// Bytes that no compressor or branch predictor makes easier (xorshift64).
QByteArray makeBuffer(qint64 size)
{
    QByteArray buffer(int(size), Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ULL;
    for (int i = 0; i + 8 <= buffer.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(buffer.data() + i, &state, 8);
    }
    return buffer;
}

template<typename Hash>
double bestMibPerSecond(const QByteArray &buffer, int piece, int runs, QByteArray *digest, Hash hash)
{
    double best = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        *digest = hash(buffer, piece);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        best = std::max(best, double(buffer.size()) / (1024.0 * 1024.0) / seconds);
    }
    return best;
}

QByteArray evp(const QByteArray &buffer, int piece)
{
    Sha256 sha;
    for (int at = 0; at < buffer.size(); at += piece)
        sha.update(buffer.constData() + at, size_t(std::min(piece, buffer.size() - at)));
    return sha.finish();
}

QByteArray qt(const QByteArray &buffer, int piece)
{
    QCryptographicHash sha(QCryptographicHash::Sha256);
    for (int at = 0; at < buffer.size(); at += piece)
        sha.addData(buffer.constData() + at, std::min(piece, buffer.size() - at));
    return sha.result();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (arguments.size() > 3) {
        err << "usage: bench_hash [MiB] [runs]\n";
        return 2;
    }
    const int mib = arguments.size() > 1 ? std::clamp(arguments.at(1).toInt(), 1, 1024) : 256;
    const int runs = arguments.size() > 2 ? std::max(1, arguments.at(2).toInt()) : 3;
    const QByteArray buffer = makeBuffer(qint64(mib) * 1024 * 1024);

    struct Piece {
        const char *name;
        int bytes;
    };
    const Piece pieces[] = {{"1mib", 1024 * 1024}, {"64kib", 64 * 1024}};
    out << "buffer_mib " << mib << '\n' << "runs " << runs << '\n';
    out.setRealNumberNotation(QTextStream::FixedNotation);
    out.setRealNumberPrecision(1);
    bool same = true;
    for (const Piece &piece : pieces) {
        QByteArray evpDigest, qtDigest;
        const double evpSpeed = bestMibPerSecond(buffer, piece.bytes, runs, &evpDigest, evp);
        const double qtSpeed = bestMibPerSecond(buffer, piece.bytes, runs, &qtDigest, qt);
        same = same && evpDigest == qtDigest && evpDigest.size() == Sha256::kDigestSize;
        out << "evp_" << piece.name << "_mib_s " << evpSpeed << '\n'
            << "qt_" << piece.name << "_mib_s " << qtSpeed << '\n';
        out.setRealNumberPrecision(2);
        out << "ratio_" << piece.name << ' ' << evpSpeed / qtSpeed << '\n';
        out.setRealNumberPrecision(1);
    }
    out.flush();
    if (!same) {
        err << "bench_hash: EVP and QCryptographicHash disagree\n";
        return 1;
    }
    return 0;
}
