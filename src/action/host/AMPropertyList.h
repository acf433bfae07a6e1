// Parameters files: a dictionary kept as an XML property list.
#pragma once

#include <QString>
#include <QVariantMap>

namespace quirel::amhost {

// Reads the dictionary at the top of the property list in `path` (XML or
// binary). False with *why naming the file and the cause when it cannot be
// read or holds no dictionary.
bool ReadPropertyListFile(const QString& path, QVariantMap* dict, QString* why);

// Writes `dict` as an XML property list to `path`, replacing the file only
// once the whole list is written. Strings, booleans, integers, reals, byte
// arrays, lists and dictionaries are kept; other values are left out.
bool WritePropertyListFile(const QString& path, const QVariantMap& dict, QString* why);

}  // namespace quirel::amhost
