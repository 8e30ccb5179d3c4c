// The built-in demo content.

#include "tools/devsim/demolog.h"

#include "tools/devsim/windows1251.h"

#include <cstring>
#include <random>

namespace {

using Dice = std::mt19937;

int between(Dice &dice, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(dice);
}

void putLe(QByteArray &data, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        data.append(char((value >> (8 * i)) & 0xFF));
}

void putFloat(QByteArray &data, float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    putLe(data, bits, 4);
}

// A signed value that renders cleanly with a sign and implied decimals: negative
// values keep more digits than the decimals, so they never need padding.
int signedReading(Dice &dice, int lowNegative, int highPositive)
{
    return between(dice, 0, 3) == 0 ? between(dice, lowNegative, -100) : between(dice, 0, highPositive);
}

// 2023-06-01 00:00:00 on the device clock, a plausible moment for a snapshot value.
constexpr std::uint32_t SomeTimeIn2023 = 738892800u;

struct DemoEvent {
    std::uint32_t id;
    std::uint8_t type; // 0 information, 1 warning, 2 error, 3 change
    int weight;        // how often it occurs
    const char *caption;
    QByteArray (*data)(Dice &);
};

const DemoEvent demoEvents[] = {
    {1, 0, 3, "Включение питания, версия ПО #u.#2u",
     [](Dice &d) {
         QByteArray b;
         putLe(b, 2, 1);
         putLe(b, std::uint64_t(between(d, 0, 15)), 1);
         return b;
     }},
    {2, 1, 3, "Отключение питания, напряжение сети #3f В",
     [](Dice &d) {
         QByteArray b;
         putFloat(b, float(between(d, 1500, 1900)) / 10.0f);
         return b;
     }},
    {10, 2, 6, "Канал #u: #`Норма``Авария``Обрыв``КЗ`e",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1, 8)), 1);
         putLe(b, std::uint64_t(between(d, 0, 3)), 1);
         return b;
     }},
    {11, 0, 14, "Канал #u: температура #+3.1I °C",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1, 8)), 1);
         putLe(b, std::uint64_t(signedReading(d, -300, 950)), 2);
         return b;
     }},
    {12, 0, 12, "Давление #2.2U МПа при уставке #2.2U МПа",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 80, 1650)), 2);
         putLe(b, 1200, 2);
         return b;
     }},
    {20, 2, 4, "Код ошибки #4X в модуле #u",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 0x100, 0xFFFF)), 2);
         putLe(b, std::uint64_t(between(d, 1, 4)), 1);
         return b;
     }},
    {21, 1, 2, "Контрольная сумма конфигурации #8h не совпадает",
     [](Dice &d) {
         QByteArray b;
         putLe(b, d(), 4);
         return b;
     }},
    {30, 3, 4, "Параметр #s изменён: было #j, стало #j",
     [](Dice &d) {
         static const char *const names[] = {"P01", "P07", "T.max", "T.min", "Kp"};
         QByteArray b(names[between(d, 0, 4)]);
         b.append('\0');
         putLe(b, std::uint64_t(std::int64_t(between(d, -500, 3000))), 4);
         putLe(b, std::uint64_t(std::int64_t(between(d, -500, 3000))), 4);
         return b;
     }},
    {31, 3, 2, "Часы синхронизированы, прежнее время #d",
     [](Dice &d) {
         QByteArray b;
         putLe(b, SomeTimeIn2023 + std::uint32_t(between(d, 0, 30000000)), 4);
         return b;
     }},
    {32, 3, 3, "Режим #`Ручной``Автоматический`5`Сервисный`e, блокировка #o",
     [](Dice &d) {
         static const int modes[] = {0, 1, 5};
         QByteArray b;
         putLe(b, std::uint64_t(modes[between(d, 0, 2)]), 1);
         putLe(b, std::uint64_t(between(d, 0, 1)), 1);
         return b;
     }},
    {40, 0, 3, "Вход оператора #s, права администратора #b",
     [](Dice &d) {
         static const char *const users[] = {"ivanov", "petrova", "service"};
         QByteArray b(users[between(d, 0, 2)]);
         b.append('\0');
         putLe(b, std::uint64_t(between(d, 0, 1)), 1);
         return b;
     }},
    {41, 0, 10, "Дискретный вход #u: #a",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1, 16)), 1);
         putLe(b, std::uint64_t(between(d, 0, 1)), 1);
         return b;
     }},
    {50, 0, 8, "Расход #.3l м3/ч",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 0, 60000)), 4);
         return b;
     }},
    {51, 1, 4, "Отклонение частоты #+.2I Гц",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(signedReading(d, -180, 180)), 2);
         return b;
     }},
    {60, 0, 2, "Счётчик наработки #L ч, пусков #U",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1000, 90000)), 8);
         putLe(b, std::uint64_t(between(d, 10, 4000)), 2);
         return b;
     }},
    {61, 0, 3, "Команда '#c' по интерфейсу #`RS-485``USB``Ethernet`e",
     [](Dice &d) {
         QByteArray b;
         b.append("RSTP"[between(d, 0, 3)]);
         putLe(b, std::uint64_t(between(d, 0, 2)), 1);
         return b;
     }},
    {62, 3, 2, "Пломба ##6l установлена, реле #O",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1, 999999)), 4);
         putLe(b, std::uint64_t(between(d, 0, 1)), 2);
         return b;
     }},
    {70, 2, 2,
     "Аварийный останов: #`Перегрев``Перегрузка``Обрыв фазы``Внешний сигнал`E, ток #3.1U А, напряжение #3.1U В, "
     "наработка #l с, время аварии #d",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 0, 3)), 2);
         putLe(b, std::uint64_t(between(d, 50, 4000)), 2);
         putLe(b, std::uint64_t(between(d, 1900, 2400)), 2);
         putLe(b, std::uint64_t(between(d, 10, 900000)), 4);
         putLe(b, SomeTimeIn2023 + std::uint32_t(between(d, 0, 30000000)), 4);
         return b;
     }},
    {71, 3, 2, "Снимок входов: #4X #4X #4X #4X #4X #4X #4X",
     [](Dice &d) {
         QByteArray b;
         for (int i = 0; i < 7; ++i)
             putLe(b, std::uint64_t(between(d, 0, 0xFFFF)), 2);
         return b;
     }},
    {80, 0, 2, "Самотестирование: ОЗУ #b, флеш #b, часы #B, батарея #1.2U В",
     [](Dice &d) {
         QByteArray b;
         putLe(b, 1, 1);
         putLe(b, std::uint64_t(between(d, 0, 4) != 0), 1);
         putLe(b, 1, 2);
         putLe(b, std::uint64_t(between(d, 270, 330)), 2);
         return b;
     }},
    {81, 1, 2, "Датчик #u: #A, код #2x",
     [](Dice &d) {
         QByteArray b;
         putLe(b, std::uint64_t(between(d, 1, 8)), 1);
         putLe(b, std::uint64_t(between(d, 0, 1)), 2);
         putLe(b, std::uint64_t(between(d, 0, 255)), 1);
         return b;
     }},
    {90, 0, 3, "Связь с верхним уровнем восстановлена", [](Dice &) { return QByteArray(); }},
};

constexpr int demoEventCount = int(sizeof demoEvents / sizeof demoEvents[0]);

// Records with more data than this take two index positions, as the device stores them.
constexpr int BytesPerPosition = 12;

// Address 1 keeps the seeds the demo has always had.
std::uint32_t addressSalt(std::uint8_t address)
{
    return std::uint32_t(address - 1) * 0x9E3779B9u;
}

} // namespace

DeviceLog::Record demoRecord(std::uint32_t n, std::uint8_t address)
{
    Dice dice(n * 2654435761u + 977u + addressSalt(address));
    int totalWeight = 0;
    for (const DemoEvent &event : demoEvents)
        totalWeight += event.weight;
    int pick = between(dice, 0, totalWeight - 1);
    int which = 0;
    while (pick >= demoEvents[which].weight) {
        pick -= demoEvents[which].weight;
        ++which;
    }
    const DemoEvent &event = demoEvents[which];
    DeviceLog::Record record;
    record.type = event.type;
    record.eventId = event.id;
    record.data = event.data(dice);
    record.count = record.data.size() > BytesPerPosition ? 2 : 1;
    return record;
}

DeviceLog makeDemoLog(int recordCount, std::uint32_t endTime, std::uint8_t address)
{
    DeviceLog log;
    for (int i = 0; i < demoEventCount; ++i) {
        bool ok = false;
        log.addCaption(demoEvents[i].id, toWindows1251(QString::fromUtf8(demoEvents[i].caption), &ok));
    }

    // Times go backwards from the end by minutes to hours, so the log covers weeks.
    Dice dice(20240315u + addressSalt(address));
    QVector<std::uint32_t> times(recordCount);
    std::uint32_t time = endTime;
    for (int i = recordCount - 1; i >= 0; --i) {
        times[i] = time;
        time -= std::uint32_t(between(dice, 20, 14400));
    }
    for (int i = 0; i < recordCount; ++i) {
        // Now and then a position the device could not write stays empty.
        if (i > 0 && i % 37 == 0)
            log.appendGap(std::uint32_t(1 + i % 2));
        DeviceLog::Record record = demoRecord(std::uint32_t(i), address);
        record.time = times[i];
        log.appendRecord(record);
    }
    return log;
}
