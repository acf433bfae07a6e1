// The orientation buttons' images and the application icon, from the resources.
#include "OrientationImages.h"

#include <QFile>
#include <QHash>

// The resources live in a static library; nothing would pull their
// registration into the program without this call.
static void InitGuiResources() { Q_INIT_RESOURCE(quirel); }

const QStringList& OrientationImageNames() {
  static const QStringList names = [] {
    QStringList out;
    for (const char* kind : {"fb-left", "fb-top", "adf-long", "adf-wide"})
      for (int turn : {0, 90, 180, 270}) out << QString("%1-r%2").arg(kind).arg(turn);
    return out;
  }();
  return names;
}

QIcon OrientationImage(const QString& name) {
  static QHash<QString, QIcon> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return *it;
  InitGuiResources();
  const QString path = ":/orientation/" + name;
  QIcon icon;
  if (QFile::exists(path)) icon = QIcon(path);
  cache.insert(name, icon);
  return icon;
}

QIcon QuirelAppIcon() {
  InitGuiResources();
  return QIcon(":/icons/quirel");
}
