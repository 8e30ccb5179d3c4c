// What each record type code looks like: its icon in the table and its name in the CSV.
#pragma once

#include <QString>

class QVariant;

// The four known type codes: 0 information, 1 warning, 2 error, 3 change.
constexpr int RecordTypeCount = 4;
extern const char *const RecordTypeIconPaths[RecordTypeCount];
extern const char *const RecordTypeNames[RecordTypeCount];

// The table index of a stored type value: the value itself when it is the whole
// number 0..3, else 0, so that unknown types show as information. A text (or byte
// string) counts when it reads as such a number: blanks around it, one "+" and
// leading zeros allowed. The type filter's SQL (LogViewStatements) classifies the
// stored values by the same rule, so that a row is filtered as it is shown.
int recordTypeIndex(const QVariant &storedType);
