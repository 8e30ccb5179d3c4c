// The statement texts of the central log database (schema "khronar"): its tables, the
// collectors' writes, the device lock and the reads of the log view, all in one place.
#pragma once

#include "store/storeerror.h"

#include <QString>

class QSqlDatabase;

// The schema version this program writes; a database that holds a later one was set up
// by a newer Khronar and is left alone.
constexpr int ServerSchemaVersion = 1;

// First key of every advisory lock Khronar takes (the two-key form, so that it never
// meets the single-key locks of other programs): ("KH", 0) guards the schema's
// creation, ("KH", device id) a device's log.
constexpr int ServerLockClass = 0x4B48;

// Creating and checking the schema.
extern const QString SchemaLockSql;
extern const QString SchemaPresentSql;
extern const QString CreateSchemaSql;
extern const QString CreateSchemaVersionTableSql;
extern const QString CreateDeviceTableSql;
extern const QString CreateEventTableSql;
extern const QString CreateServerLogTableSql;
extern const QString InsertSchemaVersionSql;
// The devices' clock offsets (seconds added to the times their logs show), a column
// added to a schema of version 1 when it lacks it.
extern const QString DeviceClockOffsetPresentSql;
extern const QString AddDeviceClockOffsetSql;
extern const QString SelectDeviceClockOffsetSql;
extern const QString UpdateDeviceClockOffsetSql;
extern const QString SelectSchemaVersionSql;

// A collector's device: its row, its lock and who holds that.
extern const QString InsertDeviceSql;
extern const QString SelectDeviceIdSql;
extern const QString MarkDownloadSql;
extern const QString TryDeviceLockSql;
// Gives the device free before the connection closes: the server ends a closed
// session's locks a moment later, and the next collector should not wait for that.
extern const QString UnlockDeviceSql;
extern const QString DeviceLockHolderSql;

// The import of a download into one device's rows.
extern const QString SelectFingerprintsSql;
extern const QString UpdateFingerprintsSql;
extern const QString UpsertEventSql;
extern const QString SelectCaptionsSql;
extern const QString SelectDeviceNewestRecordSql;
// The channel on which a commit of new records is announced, with the device's name as
// the payload: a view of that device takes them in at once instead of at its next poll.
extern const QString LogChangeChannel;
// Inserts any number of records of the device ":device" in one statement: each other
// placeholder binds an array literal (see serverarrays.h) with one element per record,
// in their order of arrival. It announces them on LogChangeChannel with the device's
// name ":name", which the server delivers when they are committed.
extern const QString InsertLogRowsSql;

// Every device name, sorted.
extern const QString ListDevicesSql;
// The id and name of every device whose name is LIKE ":pattern".
extern const QString ListDevicesLikeSql;

// Creates the schema on first use, in one transaction that other collectors starting
// at the same moment wait for, checks its version and adds what a schema of the same
// version made by an earlier program lacks (every row kept). The connection must be open
// and outside a transaction.
StoreStatus prepareServerSchema(QSqlDatabase &database);
