// Parameters files: property lists in the preference file's form (PrefsStore), replaced only once written whole.
#include "AMPropertyList.h"

#include <QFile>
#include <QSaveFile>

#include "PrefsStore.h"

namespace quirel::amhost {

bool ReadPropertyListFile(const QString& path, QVariantMap* dict, QString* why) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *why = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
  }
  // Read through a cap, so that a device or a huge file given by mistake
  // is refused instead of read until memory runs out.
  const QByteArray data = file.read(quirel::frontend::kMaxPrefsFileSize + 1);
  if (data.size() > quirel::frontend::kMaxPrefsFileSize) {
    *why = QStringLiteral("%1: it is too large for a parameters file").arg(path);
    return false;
  }
  QString cause;
  if (quirel::frontend::PrefsFromData(data, dict, &cause) != quirel::frontend::PrefsRead::kRead) {
    *why = QStringLiteral("%1: %2").arg(path, cause);
    return false;
  }
  return true;
}

bool WritePropertyListFile(const QString& path, const QVariantMap& dict, QString* why) {
  const QByteArray xml = quirel::frontend::PrefsToData(dict);
  if (xml.isEmpty()) {
    *why = QStringLiteral("%1: the dictionary cannot be written as a property list").arg(path);
    return false;
  }
  QSaveFile file(path);
  const bool ok = file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size() && file.commit();
  if (!ok) *why = QStringLiteral("%1: %2").arg(path, file.errorString());
  return ok;
}

}  // namespace quirel::amhost
