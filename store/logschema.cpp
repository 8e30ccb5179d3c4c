// The statement texts of the log file format.

#include "store/logschema.h"

// The tabs and blanks are part of the texts, which other tools may compare;
// they are kept exactly as the file format has always had them.

const QString CreateInfoTableSql = QStringLiteral("CREATE TABLE Info(\tidHash      INTEGER,\tcaptionHash INTEGER)");

const QString CreateEventsTableSql = QStringLiteral(
    "CREATE TABLE Events (\tid      INTEGER NOT NULL,\ttype    CHAR NOT NULL,\tcaption TINYINT(255),"
    "\tPRIMARY KEY(id, type))");

const QString CreateLogTableSql = QStringLiteral(
    "CREATE TABLE Log (\tid      INTEGER,\ti       INTEGER NOT NULL,\tcount   TINYINT NOT NULL,"
    "\tdt      DATETIME NOT NULL,\ttype    TINYINT NOT NULL,\tevent   INTEGER NOT NULL,"
    "\tdata    TINYINT(255),\tPRIMARY KEY(id AUTOINCREMENT))");

const QString InsertEmptyInfoSql = QStringLiteral("INSERT INTO Info (idHash, captionHash) VALUES(NULL, NULL)");

const QString SelectInfoSql = QStringLiteral("SELECT idHash, captionHash FROM Info");

const QString UpdateInfoSql = QStringLiteral("UPDATE Info SET idHash = :idHash, captionHash = :captionHash");

const QString SelectNewestRecordSql = QStringLiteral("SELECT i, count FROM Log ORDER BY id DESC LIMIT 1");

const QString InsertRecordSql = QStringLiteral(
    "INSERT INTO Log (i, count, dt, type, event, data)\tVALUES(:i, :count, :dt, :type, :event, :data)");

const QString UpsertCaptionSql = QStringLiteral(
    "INSERT OR REPLACE INTO Events(id, type, caption) VALUES(:id, :type, :caption)");

const QString MergedDevicesTable = QStringLiteral("MergedDevices");

const QString CreateMergedDevicesTableSql = QStringLiteral(
    "CREATE TABLE MergedDevices (id INTEGER PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL)");

// The columns of a log file's table, with the same types, and the device. Nothing is NOT
// NULL: a record is copied as another program may have stored it, so that it shows as
// it did in its own file.
const QString CreateMergedLogTableSql = QStringLiteral(
    "CREATE TABLE Log (id INTEGER, i INTEGER, count TINYINT, dt DATETIME, type TINYINT, event INTEGER,"
    " data TINYINT(255), device INTEGER, PRIMARY KEY(id AUTOINCREMENT))");

const QString LogViewSql = QStringLiteral(
    "SELECT l.type, DATETIME(l.dt, 'unixepoch', '+0 years'), e.caption, l.data\tFROM Log l"
    "\tLEFT OUTER JOIN Events e ON e.id = l.event AND e.type = 0\tORDER BY l.id ASC");
