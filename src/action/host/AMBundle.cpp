// Bundle folders of workflow actions and the search for one by identifier.
#include "AMBundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

#include "PrefsStore.h"

#ifndef QUIREL_INSTALL_LIBDIR
#define QUIREL_INSTALL_LIBDIR "lib"
#endif

namespace quirel::amhost {

std::optional<AMBundle> AMBundle::open(const QString& path, QString* why) {
  const QString clean = QDir::cleanPath(QDir(path).absolutePath());
  QFile file(clean + QLatin1String("/Contents/Info.plist"));
  if (!file.open(QIODevice::ReadOnly)) {
    if (why) *why = file.fileName() + QLatin1String(": ") + file.errorString();
    return std::nullopt;
  }
  AMBundle bundle;
  QString parseWhy;
  if (quirel::frontend::PrefsFromData(file.readAll(), &bundle.info, &parseWhy) != quirel::frontend::PrefsRead::kRead) {
    if (why) *why = file.fileName() + QLatin1String(": ") + parseWhy;
    return std::nullopt;
  }
  bundle.path = clean;
  bundle.identifier = bundle.info.value(QStringLiteral("CFBundleIdentifier")).toString();
  return bundle;
}

QString AMBundle::executablePath() const {
  const QString name = info.value(QStringLiteral("CFBundleExecutable")).toString();
  if (name.isEmpty()) return {};
  return path + QLatin1String("/Contents/MacOS/") + name;
}

QStringList ActionSearchFolders() {
  QStringList folders;
  if (const char* env = std::getenv("QUIREL_ACTION_PATH"); env && *env)
    for (const QString& f : QString::fromLocal8Bit(env).split(QLatin1Char(':'), Qt::SkipEmptyParts)) folders << f;
  const QString exeDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
  if (!exeDir.isEmpty()) {
    const QString inBundle = QStringLiteral("/Quirel.app/Contents/Library/Automator");
    folders << QDir::cleanPath(exeDir + QLatin1String("/..") + inBundle);
    folders << QDir::cleanPath(exeDir + QLatin1String("/../" QUIREL_INSTALL_LIBDIR "/quirel") + inBundle);
  }
  folders.removeDuplicates();
  return folders;
}

std::optional<AMBundle> FindActionBundle(const QString& identifier, const QStringList& folders, QString* searched) {
  for (const QString& folder : folders) {
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.action")}, QDir::Dirs | QDir::NoDotAndDotDot,
                                                     QDir::Name);
    for (const QString& name : names) {
      std::optional<AMBundle> bundle = AMBundle::open(folder + QLatin1Char('/') + name);
      if (bundle && bundle->identifier == identifier) return bundle;
    }
  }
  if (searched) *searched = folders.join(QLatin1String(", "));
  return std::nullopt;
}

}  // namespace quirel::amhost
