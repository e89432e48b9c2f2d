// The export session's transitions, as one table: where each event leads from
// each state. Needs no window, no drive and no root.
#include "export/exportsession.h"

#include <QMetaEnum>
#include <QTest>

using State = ExportSession::State;
using Event = ExportSession::Event;
Q_DECLARE_METATYPE(Event)

class TestFlow : public QObject
{
    Q_OBJECT
private slots:
    void transitions_data();
    void transitions();
    void unmountedEndsEverything();
    void stopReachesAnEnd_data();
    void stopReachesAnEnd();
};

void TestFlow::transitions_data()
{
    QTest::addColumn<State>("from");
    QTest::addColumn<Event>("event");
    QTest::addColumn<State>("to");
    const auto row = [](const char *tag, State from, Event event, State to) {
        QTest::newRow(tag) << from << event << to;
    };
    // The way of an export that fits.
    row("a drive is counted", State::Idle, Event::Mounted, State::Counting);
    row("counted: ready", State::Counting, Event::Counted, State::Ready);
    row("开始复制 looks at the drive", State::Ready, Event::Start, State::Planning);
    row("the plan fits", State::Planning, Event::Fits, State::Database);
    row("the database first", State::Database, Event::DatabaseDone, State::Copying);
    row("rsync done: the flush", State::Copying, Event::FlushStarted, State::Flushing);
    row("the flush fails: done", State::Flushing, Event::CopyEnded, State::Done);
    row("flushed: the proof", State::Flushing, Event::Flushed, State::Verifying);
    row("verified: done", State::Verifying, Event::Verified, State::Done);
    row("the drive about to go while counting", State::Counting, Event::Release, State::Idle);
    row("the drive about to go while copying", State::Copying, Event::Release, State::Stopping);
    row("stop during the read-back", State::Verifying, Event::Stop, State::Stopping);
    row("another export from done", State::Done, Event::Start, State::Planning);
    // Questions and refusals.
    row("the plan asks", State::Planning, Event::Ask, State::Asking);
    row("Yes copies", State::Asking, Event::Yes, State::Database);
    row("No leaves the drive as it is", State::Asking, Event::No, State::Ready);
    row("nothing fits", State::Planning, Event::Refused, State::Ready);
    row("the export directory is refused", State::Database, Event::Refused, State::Ready);
    row("rsync fails", State::Copying, Event::CopyEnded, State::Done);
    // Stops.
    row("stop while planning", State::Planning, Event::Stop, State::Ready);
    row("stop while asking", State::Asking, Event::Stop, State::Ready);
    row("stop during the snapshot", State::Database, Event::Stop, State::Stopping);
    row("stop during the copy", State::Copying, Event::Stop, State::Stopping);
    row("stop during the flush", State::Flushing, Event::Stop, State::Stopping);
    row("the stopped copy ends", State::Stopping, Event::CopyEnded, State::Done);
    row("the stopped snapshot ends", State::Stopping, Event::Stopped, State::Done);
    // What a state does not take.
    row("no start while counting", State::Counting, Event::Start, State::Counting);
    row("no start while copying", State::Copying, Event::Start, State::Copying);
    row("a late answer", State::Ready, Event::Yes, State::Ready);
    row("a second stop", State::Stopping, Event::Stop, State::Stopping);
    row("no flush before rsync", State::Database, Event::FlushStarted, State::Database);
    row("a snapshot's end after its stop", State::Done, Event::DatabaseDone, State::Done);
    row("nothing to stop when ready", State::Ready, Event::Stop, State::Ready);
    row("a second drive while copying", State::Copying, Event::Mounted, State::Copying);
}

void TestFlow::transitions()
{
    QFETCH(State, from);
    QFETCH(Event, event);
    QFETCH(State, to);
    QCOMPARE(ExportSession::next(from, event), to);
}

void TestFlow::unmountedEndsEverything()
{
    const QMetaEnum states = QMetaEnum::fromType<State>();
    for (int i = 0; i < states.keyCount(); ++i)
        QCOMPARE(ExportSession::next(State(states.value(i)), Event::Unmounted), State::Idle);
}

// From every state an export runs in, 停止 and the end of what it stopped
// lead to a state in which the window is ready again: no state is a trap.
void TestFlow::stopReachesAnEnd_data()
{
    QTest::addColumn<State>("from");
    for (const State state : {State::Planning, State::Asking, State::Database, State::Copying, State::Flushing})
        QTest::newRow(QMetaEnum::fromType<State>().valueToKey(state)) << state;
}

void TestFlow::stopReachesAnEnd()
{
    QFETCH(State, from);
    State state = ExportSession::next(from, Event::Stop);
    for (const Event ending : {Event::Stopped, Event::CopyEnded})
        state = ExportSession::next(state, ending);
    QVERIFY2(state == State::Ready || state == State::Done, QMetaEnum::fromType<State>().valueToKey(state));
    QCOMPARE(ExportSession::next(state, Event::Start), State::Planning);
}

QTEST_APPLESS_MAIN(TestFlow)
#include "tst_flow.moc"
