// Renders per second of formatCaption: the log view renders a message each
// time a cell is painted, without any cache.

#include "messagetext/captionformat.h"

#include <benchmark/benchmark.h>

namespace {

void renderCaption(benchmark::State &state, const QString &caption, const QByteArray &data)
{
    for (auto _ : state) {
        QString message = formatCaption(caption, data);
        benchmark::DoNotOptimize(message);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_WorkedExample(benchmark::State &state)
{
    renderCaption(state, QStringLiteral("Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d"),
                  QByteArray::fromHex("02 01 FA 00 AB 00 7A 0D 87 2D"));
}

// Ten fields, one of each group: numbers, hexadecimal, a float, a date, a
// string, flags and a three-entry enumeration.
void BM_TenMixedFields(benchmark::State &state)
{
    renderCaption(state,
                  QStringLiteral("Насос #u: ток #2.1U А, давление #+.2I бар, код #4X, пуск #b, "
                                 "клапан #o, режим #`Стоп``Пуск``Авто`e, наработка #l ч, "
                                 "уставка #f, время #d"),
                  QByteArray::fromHex("03 E7 03 F6 FF AB 00 01 00 02 10 27 00 00 00 00 20 41 7A 0D 87 2D"));
}

BENCHMARK(BM_WorkedExample);
BENCHMARK(BM_TenMixedFields);

} // namespace

BENCHMARK_MAIN();
