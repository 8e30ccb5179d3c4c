// The model behind the log table: type icon, time and the message rendered from
// the event's caption and the record's data bytes.
#pragma once

#include <QSqlQueryModel>

// Runs over the log view query (type, time, caption, data). Messages are rendered
// each time a cell is asked for; nothing is cached.
class LogViewModel : public QSqlQueryModel
{
public:
    explicit LogViewModel(QObject *parent = nullptr);
    ~LogViewModel() override;

    QVariant data(const QModelIndex &item, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
};
