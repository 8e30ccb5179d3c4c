// A fleet's metrics in Prometheus's text exposition format, as the node exporter's
// textfile collector reads them from a *.prom file.
#pragma once

#include "fetch/linemonitor.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The metrics of `lines`; `passSeconds` is how long a collection that ended took, or
// negative for a collector that stays on (the metric is then left out).
QByteArray fleetMetricsText(const std::vector<LineStatus> &lines, double passSeconds = -1);

// A label's value as the format writes it between its quotes: backslash, double quote
// and line end escaped. Any other character is itself, in UTF-8.
QString escapeLabelValue(const QString &value);

// Replaces the file at `path` with `text` at once: the text goes into a temporary file
// beside it, which then takes its place, so that a reader sees the old file or the new
// one, never a part. The file is readable by all (the exporter runs as a user of its
// own). False, with the reason in `error`, when it cannot be written.
bool replaceMetricsFile(const QString &path, const QByteArray &text, QString *error);
