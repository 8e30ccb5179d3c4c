// Record type codes and their names and icons.

#include "presentation/recordtypes.h"

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

int recordTypeIndex(const QVariant &storedType)
{
    bool converted = false;
    const uint code = storedType.toUInt(&converted);
    return converted && code < RecordTypeCount ? static_cast<int>(code) : 0;
}
