// The log table model: type icons, times and messages rendered from the captions.

#include "presentation/logviewmodel.h"

#include "presentation/captionformat.h"
#include "presentation/recordtypes.h"

#include <QColor>
#include <QPixmap>

namespace {

enum Column { TypeColumn = 0, TimeColumn = 1, MessageColumn = 2, DataColumn = 3 };

const QString UnknownEvent = QStringLiteral("Неизвестное событие");

} // namespace

LogViewModel::LogViewModel(QObject *parent) : QSqlQueryModel(parent) {}

LogViewModel::~LogViewModel() = default;

QVariant LogViewModel::data(const QModelIndex &item, int role) const
{
    if (item.column() == TypeColumn) {
        if (role == Qt::DecorationRole) {
            const QVariant code = QSqlQueryModel::data(item, Qt::DisplayRole);
            return QPixmap(QString::fromLatin1(RecordTypeIconPaths[recordTypeIndex(code)]));
        }
        if (role == Qt::DisplayRole)
            return QString(QLatin1String(""));
    } else if (item.column() == MessageColumn) {
        if (role == Qt::DisplayRole) {
            const QVariant caption = QSqlQueryModel::data(item, Qt::DisplayRole);
            if (caption.isNull())
                return UnknownEvent;
            const QVariant data = QSqlQueryModel::data(item.sibling(item.row(), DataColumn), Qt::DisplayRole);
            return formatCaption(caption.toString(), data.toByteArray());
        }
        if (role == Qt::BackgroundRole && QSqlQueryModel::data(item, Qt::DisplayRole).isNull())
            return QColor(Qt::red);
    }
    return QSqlQueryModel::data(item, role);
}

QVariant LogViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return section;
    switch (section) {
    case TypeColumn:
        return QStringLiteral("Тип");
    case TimeColumn:
        return QStringLiteral("Время");
    case MessageColumn:
        return QStringLiteral("Сообщение");
    default:
        return QVariant();
    }
}
