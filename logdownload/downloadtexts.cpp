// The texts of a download's outcomes.

#include "logdownload/downloadtexts.h"

QString failureText(const DownloadFailure &failure)
{
    switch (failure.kind) {
    // The device's exceptions bring their own texts (the protocol's table), a store its
    // own error; only the silent device has a fixed one.
    case FailureKind::DeviceException:
        if (const char *text = modbusExceptionMessage(failure.exception))
            return QString::fromUtf8(text);
        return QStringLiteral("Исключение %1").arg(unsigned(failure.exception));
    case FailureKind::StoreFailed:
        return failure.store.text;
    case FailureKind::NoReply:
        break;
    }
    return QStringLiteral("Устройство не отвечает");
}

QString configurationQuestionTitle()
{
    return QStringLiteral("Обновление конфигурации журнала");
}

QString configurationQuestionText()
{
    return QStringLiteral("Конфигурация журнала устройства отличается от открытого журнала.\n"
                          "Обновить конфигурацию?");
}
