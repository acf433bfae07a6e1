// The preference file: an XML property list in the user's configuration
// folder ($XDG_CONFIG_HOME, default ~/.config) whose top level is a
// dictionary. The scan settings dictionary lives under
// "Quirel Default Settings". Settings of three older preference files (and
// of the older key "Default Settings") are carried over once, the first
// time the store is read, and the file is then marked as migrated.
//
// There is no cache: every read and every write reads the file again, so
// the application and the workflow action, which share the file, each see
// the other's last save; the last writer replaces the whole file.
//
// Dictionaries are QVariantMap: property-list integers are qlonglong,
// reals double, booleans bool, strings QString, data QByteArray, dates
// QDateTime, arrays QVariantList. Main thread; no locks.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace quirel::frontend {

constexpr int kCurrentMigration = 1;

extern const char* const kPrefsFileName;         // the current file, read and written
extern const char* const kOlderPrefsFileNames[3];  // read during migration only
extern const char* const kScanSettingsKey;       // "Quirel Default Settings"
extern const char* const kOlderScanSettingsKey;  // "Default Settings"
extern const char* const kMigrationKey;          // "migration"

// The path of `fileName` in the preferences folder of the user domain
// (selector 0, created with any missing folders above it, mode 0700) or of
// the local domain (any other selector: the first folder of
// $XDG_CONFIG_DIRS, default /etc/xdg, never created). Empty when the folder
// cannot be found or made.
QString CreatePrefsUrl(int domain, const QString& fileName);

// How reading a preference file went.
enum class PrefsRead {
  kRead,        // *dict holds the file's top-level dictionary
  kMissing,     // no such file (or no preferences folder)
  kUnreadable,  // the file exists but holds no property-list dictionary
};

// A preference or parameters file is a few kilobytes; anything far larger
// is not one and is not read into memory.
constexpr qint64 kMaxPrefsFileSize = 16 << 20;

// Parses the bytes of a preference file (XML or binary property list).
// kUnreadable when they are not a property list, are nested more than 64
// deep (a binary list also when it unfolds into more than 65536 values) or
// its top level is not a dictionary; *why then says what is wrong. Here and
// in PrefsToData numbers have a decimal point whatever the locale.
PrefsRead PrefsFromData(const QByteArray& data, QVariantMap* dict, QString* why);

// The XML property list of `dict`; empty when it cannot be made.
QByteArray PrefsToData(const QVariantMap& dict);

// Reads `fileName` of the given domain. A file that cannot be read or
// parsed gives kUnreadable and one log line naming the file and the cause.
PrefsRead ReadPrefsFile(int domain, const QString& fileName, QVariantMap* dict);

// The file's top-level dictionary, or none when it is missing or unreadable.
std::optional<QVariantMap> CopyPrefsFromFile(int domain, const QString& fileName);

// Writes `dict` as an XML property list to the current file of the user
// domain, replacing it as a whole: the list goes to a new file in the same
// folder, which is flushed to disk and then renamed over the old one, so a
// writer that dies on the way leaves the old file as it was. The new file
// keeps the old one's permissions, always with reading and writing for its
// owner. Returns false (after logging the cause) when the file could not be
// replaced.
bool WritePrefsToFile(const QVariantMap& dict);

// The preference dictionary, migrated: read from the current file; when the
// file is not yet marked as migrated, the older settings are carried over,
// "Default Settings" is removed, "migration" is set to 1 and the result is
// written back. A current file that exists but cannot be read is left
// untouched here (its settings read as defaults); the next save replaces it.
QVariantMap CopyPrefs();

// The stored settings dictionary, or none when there is none (or what is
// stored under the key is not a dictionary, which is logged).
std::optional<QVariantMap> CopyScanSettingFromPrefs();

// Stores `settings` as the settings dictionary; every other top-level key
// of the file is kept.
void WriteScanSettingsToPrefs(const QVariantMap& settings);

}  // namespace quirel::frontend
