// Record type codes and their names and icons.

#include "messagetext/recordtypes.h"

#include <QByteArray>
#include <QVariant>

const char *const RecordTypeIconPaths[RecordTypeCount] = {
    ":/new/prefix/Resources/Icons/Basic/16x16/info.png",
    ":/new/prefix/Resources/Icons/Basic/16x16/warning.png",
    ":/new/prefix/Resources/Icons/Basic/16x16/delete_button_error.png",
    ":/new/prefix/Resources/Icons/Industry/16x16/manufacturing_process_1_gear-edit.png",
};

const char *const RecordTypeNames[RecordTypeCount] = {
    "Информация",
    "Предупреждение",
    "Ошибка",
    "Изменение",
};

namespace {

bool isAsciiBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// "  +0002 " is 2; anything else that is not a whole number 0..3 is 0. A general
// number conversion would wrap 4294967298 to 2 or round 2.5 to 3, and no SQL
// expression could follow it.
int typeIndexOfText(const QByteArray &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && isAsciiBlank(text.at(begin)))
        ++begin;
    while (end > begin && isAsciiBlank(text.at(end - 1)))
        --end;
    if (begin < end && text.at(begin) == '+')
        ++begin;
    while (begin < end && text.at(begin) == '0')
        ++begin;
    if (end - begin != 1)
        return 0;
    const char digit = text.at(begin);
    return digit >= '1' && digit <= '3' ? digit - '0' : 0;
}

} // namespace

int recordTypeIndex(const QVariant &storedType)
{
    if (storedType.isNull())
        return 0;
    switch (storedType.userType()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::ULongLong:
    case QMetaType::UInt: {
        bool converted = false;
        const qlonglong code = storedType.toLongLong(&converted);
        return converted && code >= 0 && code < RecordTypeCount ? int(code) : 0;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double code = storedType.toDouble();
        for (int index = 0; index < RecordTypeCount; ++index) {
            if (code == double(index))
                return index;
        }
        return 0;
    }
    case QMetaType::QString:
        return typeIndexOfText(storedType.toString().toUtf8());
    case QMetaType::QByteArray:
        return typeIndexOfText(storedType.toByteArray());
    default: {
        bool converted = false;
        const uint code = storedType.toUInt(&converted);
        return converted && code < RecordTypeCount ? static_cast<int>(code) : 0;
    }
    }
}
