// The clock's synchronisation as timedatectl reports it, with a fake
// timedatectl first on PATH. Needs no root and no drive.

#include "testsupport.h"

#include "platform/clocksync.h"

#include <QFile>
#include <QTest>

using namespace TestSupport;

Q_DECLARE_METATYPE(ClockSync)

class ClockSyncTest : public QObject
{
    Q_OBJECT
private slots:
    void verdict_data();
    void verdict();
};

void ClockSyncTest::verdict_data()
{
    QTest::addColumn<bool>("installed"); // false: no timedatectl on PATH at all
    QTest::addColumn<QStringList>("fake"); // settings of tests/fakes/program.sh
    QTest::addColumn<ClockSync>("expected");

    QTest::newRow("yes") << true << QStringList{"STDOUT=yes"} << ClockSync::Synchronised;
    QTest::newRow("no") << true << QStringList{"STDOUT=no"} << ClockSync::NotSynchronised;
    QTest::newRow("yes, but it failed") << true << QStringList{"STDOUT=yes", "EXIT=1"} << ClockSync::Unknown;
    // What it says without systemd as init (this development machine).
    QTest::newRow("no bus") << true << QStringList{"STDERR=Failed to connect to bus: Host is down", "EXIT=1"}
                            << ClockSync::Unknown;
    QTest::newRow("nothing printed") << true << QStringList() << ClockSync::Unknown;
    QTest::newRow("something else") << true << QStringList{"STDOUT=yes please"} << ClockSync::Unknown;
    QTest::newRow("crashes") << true << QStringList{"STDOUT=yes", "END=SEGV"} << ClockSync::Unknown;
    QTest::newRow("hangs") << true << QStringList{"STDOUT=yes", "END=hang"} << ClockSync::Unknown;
    QTest::newRow("missing") << false << QStringList() << ClockSync::Unknown;
}

void ClockSyncTest::verdict()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, fake);
    QFETCH(ClockSync, expected);

    FakePrograms fakes;
    fakes.configure(QStringLiteral("timedatectl"), fake);
    const QByteArray path = qgetenv("PATH");
    if (installed)
        fakes.install(QStringLiteral("timedatectl"));
    else
        qputenv("PATH", QFile::encodeName(fakes.path())); // nothing but the empty fake directory
    const ClockSync verdict = clockSynchronisation();
    qputenv("PATH", path);
    QCOMPARE(verdict, expected);
}

QTEST_GUILESS_MAIN(ClockSyncTest)
#include "tst_clocksync.moc"
