// The supervisor's words to systemd: the status line in Russian with its plurals, and
// when the fleet counts as alive for the watchdog.

#include "fetch/fleetsupervisor.h"

#include <QTest>

namespace {

std::vector<LineStatus> fleet(int lines, int up)
{
    std::vector<LineStatus> status(static_cast<std::size_t>(lines));
    for (int i = 0; i < lines; ++i)
        status[std::size_t(i)].state = i < up ? LineState::Up : LineState::Failing;
    return status;
}

} // namespace

class tst_FleetSupervisor : public QObject
{
    Q_OBJECT

private slots:
    void statusText_data();
    void statusText();
    void aliveWhileAnyLineShowsSignsOfLife();
};

void tst_FleetSupervisor::statusText_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("up");
    QTest::addColumn<qulonglong>("records");
    QTest::addColumn<QString>("text");
    // Thousands are grouped with a no-break space, as Russian writes them; the word
    // goes with the last digit.
    QTest::newRow("thousands") << 16 << 15 << 1234ull
                               << QStringLiteral("16 линий, 15 на связи, 1\u00a0234 записи за сутки");
    QTest::newRow("many") << 16 << 15 << 1235ull
                          << QStringLiteral("16 линий, 15 на связи, 1\u00a0235 записей за сутки");
    QTest::newRow("one") << 1 << 1 << 1ull << QStringLiteral("1 линия, 1 на связи, 1 запись за сутки");
    QTest::newRow("a few") << 3 << 0 << 22ull << QStringLiteral("3 линии, 0 на связи, 22 записи за сутки");
    QTest::newRow("teens take many") << 11 << 2 << 112ull
                                     << QStringLiteral("11 линий, 2 на связи, 112 записей за сутки");
    QTest::newRow("twenty-one") << 21 << 21 << 101ull << QStringLiteral("21 линия, 21 на связи, 101 запись за сутки");
    QTest::newRow("none yet") << 256 << 0 << 0ull << QStringLiteral("256 линий, 0 на связи, 0 записей за сутки");
}

void tst_FleetSupervisor::statusText()
{
    QFETCH(int, lines);
    QFETCH(int, up);
    QFETCH(qulonglong, records);
    QFETCH(QString, text);
    QCOMPARE(fleetStatusText(fleet(lines, up), records), text);
}

// Alive while any line that still runs has shown a sign of life within the limit; a
// line that has ended counts for nothing, and a fleet of hung lines is not alive.
void tst_FleetSupervisor::aliveWhileAnyLineShowsSignsOfLife()
{
    using namespace std::chrono_literals;
    const auto now = std::chrono::steady_clock::now();
    std::vector<LineStatus> lines(2);
    lines[0].lastSignOfLife = now - 130s;
    lines[1].lastSignOfLife = now - 5s;
    QVERIFY(anyLineAlive(lines, now, 120s));
    lines[1].lastSignOfLife = now - 121s;
    QVERIFY(!anyLineAlive(lines, now, 120s));
    lines[0].lastSignOfLife = now;
    lines[0].finished = true;
    QVERIFY(!anyLineAlive(lines, now, 120s));
    QVERIFY(!anyLineAlive({}, now, 120s));
}

QTEST_GUILESS_MAIN(tst_FleetSupervisor)
#include "tst_fleetsupervisor.moc"
