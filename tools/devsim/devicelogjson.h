// Reads a device's captions and log from the JSON file given to the simulator.
#pragma once

#include "tools/devsim/devicelog.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The file's content: the log, the records in file order (the simulator repeats them
// when it appends live), and whether the file placed the log with "firstIndex".
struct DeviceLogFile {
    DeviceLog log;
    QVector<DeviceLog::Record> records;
    bool hasFirstIndex = false;
};

// Parses `json`. On any fault returns false with `*error` naming the place
// ("records[3].data: ...") and leaves `*content` unspecified.
bool parseDeviceLogJson(const QByteArray &json, DeviceLogFile *content, QString *error);
