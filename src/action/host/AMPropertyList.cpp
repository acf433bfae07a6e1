// Parameters files read and written with libplist.
#include "AMPropertyList.h"

#include <QFile>
#include <QSaveFile>
#include <plist/plist.h>

#include "PrefsStore.h"

namespace quirel::amhost {

namespace {

plist_t ToNode(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::Bool:
      return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
      return plist_new_uint(static_cast<uint64_t>(v.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
      return plist_new_real(v.toDouble());
    case QMetaType::QString: {
      const QByteArray utf8 = v.toString().toUtf8();
      return plist_new_string(utf8.constData());
    }
    case QMetaType::QByteArray: {
      const QByteArray data = v.toByteArray();
      return plist_new_data(data.constData(), static_cast<uint64_t>(data.size()));
    }
    case QMetaType::QVariantList: {
      plist_t array = plist_new_array();
      for (const QVariant& item : v.toList())
        if (plist_t n = ToNode(item)) plist_array_append_item(array, n);
      return array;
    }
    case QMetaType::QVariantMap: {
      const QVariantMap map = v.toMap();
      plist_t dict = plist_new_dict();
      for (auto it = map.cbegin(); it != map.cend(); ++it)
        if (plist_t n = ToNode(it.value())) plist_dict_set_item(dict, it.key().toUtf8().constData(), n);
      return dict;
    }
    default:
      return nullptr;
  }
}

}  // namespace

bool ReadPropertyListFile(const QString& path, QVariantMap* dict, QString* why) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *why = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
  }
  QString cause;
  if (quirel::frontend::PrefsFromData(file.readAll(), dict, &cause) != quirel::frontend::PrefsRead::kRead) {
    *why = QStringLiteral("%1: %2").arg(path, cause);
    return false;
  }
  return true;
}

bool WritePropertyListFile(const QString& path, const QVariantMap& dict, QString* why) {
  plist_t root = ToNode(QVariant(dict));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  plist_free(root);
  if (!xml) {
    *why = QStringLiteral("%1: the dictionary cannot be written as a property list").arg(path);
    return false;
  }
  QSaveFile file(path);
  bool ok = file.open(QIODevice::WriteOnly) && file.write(xml, length) == qint64(length);
  plist_to_xml_free(xml);
  ok = ok && file.commit();
  if (!ok) *why = QStringLiteral("%1: %2").arg(path, file.errorString());
  return ok;
}

}  // namespace quirel::amhost
