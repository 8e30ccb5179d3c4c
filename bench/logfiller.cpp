// Fills a log file with a realistic mix of captions and records for the benchmarks.

#include "bench/logfiller.h"

#include "protocol/devicetime.h"
#include "store/logimport.h"
#include "store/logschema.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QVariant>

#include <cstdint>
#include <cstring>
#include <random>

namespace {

using Random = std::mt19937;

// 2023-01-01 00:00:00 in device seconds: the log starts there and grows by up
// to two minutes per record, so a million records span about two years.
constexpr std::uint32_t FirstDeviceTime = 725846400;
// An event the device logs but whose caption the file does not hold.
constexpr std::uint32_t UncaptionedEvent = 500;

// Appends a record's data bytes, little-endian as the device sends them.
class DataWriter
{
public:
    DataWriter(Random &random, std::uint32_t now, QByteArray &out) : random(random), now(now), out(out) {}

    std::uint32_t below(std::uint32_t limit)
    {
        return std::uniform_int_distribution<std::uint32_t>(0, limit - 1)(random);
    }
    std::int64_t between(std::int64_t low, std::int64_t high)
    {
        return std::uniform_int_distribution<std::int64_t>(low, high)(random);
    }

    void u8(std::uint64_t value) { bytes(value, 1); }
    void u16(std::uint64_t value) { bytes(value, 2); }
    void u32(std::uint64_t value) { bytes(value, 4); }
    void u64(std::uint64_t value) { bytes(value, 8); }
    void f32(float value)
    {
        std::uint32_t raw;
        std::memcpy(&raw, &value, sizeof raw);
        u32(raw);
    }
    void f64(double value)
    {
        std::uint64_t raw;
        std::memcpy(&raw, &value, sizeof raw);
        u64(raw);
    }
    void text(const char *value)
    {
        out.append(value);
        out.append('\0');
    }
    // A device time shortly before the record itself, as a field that reports
    // when something happened.
    void recentTime() { u32(now - below(3600)); }
    void time() { u32(now); }

private:
    void bytes(std::uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            out.append(char((value >> (8 * i)) & 0xFF));
    }

    Random &random;
    std::uint32_t now;
    QByteArray &out;
};

const char *const UserNames[] = {"operator", "admin", "service", "ivanov"};

struct CaptionSample {
    std::uint32_t event;
    std::uint8_t type;
    int weight; // how often the event occurs, relative to the others
    const char *caption;
    void (*data)(DataWriter &);
};

// Every group of the caption language appears: signed and unsigned numbers
// with widths, decimals and signs, hexadecimal, floats, dates, characters,
// strings, flags and enumerations (one value of which is not listed).
const CaptionSample Samples[] = {
    {1, 0, 5, "Включение питания", [](DataWriter &) {}},
    {2, 1, 3, "Выключение питания", [](DataWriter &) {}},
    {3, 2, 4, "Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d",
     [](DataWriter &w) {
         w.u8(w.below(8));
         w.u8(w.below(2));
         w.u16(std::uint64_t(w.between(-400, 1200)));
         w.u16(w.below(0x10000));
         w.recentTime();
     }},
    {4, 0, 8,
     "Насос #u: ток #2.1U А, давление #+.2I бар, код #4X, пуск #b, клапан #o, режим #`Стоп``Пуск``Авто`e, "
     "наработка #l ч, уставка #f, время #d",
     [](DataWriter &w) {
         w.u8(w.below(4) + 1);
         w.u16(w.below(1000));
         w.u16(std::uint64_t(w.between(-50, 1600)));
         w.u16(w.below(0x100));
         w.u8(w.below(2));
         w.u8(w.below(2));
         w.u8(w.below(3));
         w.u32(w.below(100000));
         w.f32(float(w.below(200)) / 4.0f);
         w.recentTime();
     }},
    {5, 3, 6, "Изменение уставки #u: #+4.2j -> #+4.2j",
     [](DataWriter &w) {
         w.u8(w.below(32));
         w.u32(std::uint64_t(w.between(-100000, 100000)));
         w.u32(std::uint64_t(w.between(-100000, 100000)));
     }},
    {6, 0, 12, "Вход #u: #a",
     [](DataWriter &w) {
         w.u8(w.below(32));
         w.u8(w.below(2));
     }},
    {7, 2, 3, "Ошибка связи с модулем #u, код #2x",
     [](DataWriter &w) {
         w.u8(w.below(16));
         w.u8(w.below(0x100));
     }},
    {8, 0, 4, "Пользователь #s вошёл в систему", [](DataWriter &w) { w.text(UserNames[w.below(4)]); }},
    {9, 3, 5, "Параметр #U изменён пользователем #s: было #l, стало #l",
     [](DataWriter &w) {
         w.u16(w.below(600));
         w.text(UserNames[w.below(4)]);
         w.u32(w.below(1000000));
         w.u32(w.below(1000000));
     }},
    {10, 1, 6, "Напряжение фазы #c: #3.1U В",
     [](DataWriter &w) {
         w.u8('A' + w.below(3));
         w.u16(2000 + w.below(600));
     }},
    {11, 2, 3, "Превышение тока двигателя #u: #+2.2j А (порог #2.2U А)",
     [](DataWriter &w) {
         w.u8(w.below(4) + 1);
         w.u32(std::uint64_t(w.between(-5000, 5000)));
         w.u16(w.below(5000));
     }},
    {12, 2, 2, "Авария датчика #u: #`Обрыв``Замыкание``Вне диапазона`3`Нет связи`e",
     [](DataWriter &w) {
         w.u8(w.below(64));
         w.u8(w.below(5));
     }},
    {13, 3, 1, "Синхронизация времени: #d -> #d",
     [](DataWriter &w) {
         w.recentTime();
         w.time();
     }},
    {14, 0, 4, "Счётчик энергии: #L Вт·ч", [](DataWriter &w) { w.u64(std::uint64_t(w.between(0, 1LL << 40))); }},
    {15, 3, 1, "Контрольная сумма конфигурации #8h", [](DataWriter &w) { w.u32(w.below(0xFFFFFFFFu)); }},
    {16, 3, 2, "Режим работы: #`Ручной``Автомат`10`Сервис`E",
     [](DataWriter &w) {
         const std::uint16_t modes[] = {0, 1, 10};
         w.u16(modes[w.below(3)]);
     }},
    {17, 1, 4, "Давление в контуре #u: #F кПа",
     [](DataWriter &w) {
         w.u8(w.below(3) + 1);
         w.f64(double(w.between(50000, 400000)) / 1000.0);
     }},
    {18, 0, 6, "Дверь шкафа #u #`закрыта``открыта`e",
     [](DataWriter &w) {
         w.u8(w.below(4) + 1);
         w.u8(w.below(2));
     }},
    {19, 0, 3, "Отметка времени #J мс, флаги #2X",
     [](DataWriter &w) {
         w.u64(std::uint64_t(w.between(0, 1LL << 42)));
         w.u16(w.below(0x10000));
     }},
    {20, 3, 1, "Обновление ПО до версии #u.#u.#U",
     [](DataWriter &w) {
         w.u8(w.below(3) + 1);
         w.u8(w.below(10));
         w.u16(w.below(2000));
     }},
    // Quotes in a message are doubled in the CSV export.
    {21, 1, 2, "Сработала защита #B, повтор #O, расход \"#3.1U\" м3/ч",
     [](DataWriter &w) {
         w.u16(w.below(2));
         w.u16(w.below(2));
         w.u16(w.below(5000));
     }},
};

// The records of the uncaptioned event, about one in two hundred.
constexpr std::uint32_t UncaptionedPerMille = 5;

StoreStatus storeCaptions(QSqlDatabase &database)
{
    // The device sends its captions in Windows-1251, and that is what the
    // import expects to decode.
    QTextCodec *const deviceCodec = QTextCodec::codecForName("Windows-1251");
    for (const CaptionSample &sample : Samples) {
        const QString caption = QString::fromUtf8(sample.caption);
        if (!deviceCodec->canEncode(caption))
            return storeFailure(StoreError::Kind::Failed,
                                QStringLiteral("caption not in the device's code page: ") + caption);
        const StoreStatus stored = storeCaption(database, sample.event, deviceCodec->fromUnicode(caption).constData());
        if (!stored)
            return stored;
    }
    return {};
}

} // namespace

LogFillOutcome fillLogFile(QSqlDatabase &database, qint64 records)
{
    const StoreStatus captions = storeCaptions(database);
    if (!captions)
        return LogFillOutcome{false, captions.error().text};

    int totalWeight = 0;
    for (const CaptionSample &sample : Samples)
        totalWeight += sample.weight;

    QSqlQuery insert(database);
    if (!insert.prepare(InsertRecordSql))
        return LogFillOutcome{false, insert.lastError().text()};
    if (!database.transaction())
        return LogFillOutcome{false, database.lastError().text()};

    const QString index = QStringLiteral(":i"), count = QStringLiteral(":count"), dt = QStringLiteral(":dt"),
                  type = QStringLiteral(":type"), event = QStringLiteral(":event"), data = QStringLiteral(":data");
    Random random(20240315);
    std::uint32_t deviceIndex = 0;
    std::uint32_t now = FirstDeviceTime;
    QByteArray bytes;
    for (qint64 n = 0; n < records; ++n) {
        now += std::uniform_int_distribution<std::uint32_t>(0, 120)(random);
        bytes.resize(0);
        DataWriter writer(random, now, bytes);

        std::uint32_t eventId;
        std::uint8_t recordType;
        if (writer.below(1000) < UncaptionedPerMille) {
            eventId = UncaptionedEvent;
            recordType = std::uint8_t(writer.below(4));
            for (std::uint32_t b = writer.below(5); b > 0; --b)
                writer.u8(writer.below(0x100));
        } else {
            int pick = int(writer.below(std::uint32_t(totalWeight)));
            const CaptionSample *sample = Samples;
            while (pick >= sample->weight) {
                pick -= sample->weight;
                ++sample;
            }
            eventId = sample->event;
            recordType = sample->type;
            sample->data(writer);
        }
        // Longer records take more positions in the device's log memory.
        const std::uint8_t positions = std::uint8_t(1 + bytes.size() / 16);

        insert.bindValue(index, deviceIndex);
        insert.bindValue(count, int(positions));
        insert.bindValue(dt, qint64(now) + DeviceEpochUnixSeconds);
        insert.bindValue(type, int(recordType));
        insert.bindValue(event, eventId);
        // A zero-length BLOB, never NULL, for a record without data, as the import stores it.
        insert.bindValue(data, bytes.isEmpty() ? QByteArray("") : bytes);
        if (!insert.exec()) {
            const QString error = insert.lastError().text();
            database.rollback();
            return LogFillOutcome{false, error};
        }
        deviceIndex += positions;
    }
    if (!database.commit())
        return LogFillOutcome{false, database.lastError().text()};
    return LogFillOutcome{};
}
