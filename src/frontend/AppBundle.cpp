// The application bundle this program runs from: its folder, Info.plist values and the tool inside it.
#include "AppBundle.h"

#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace quirel::frontend {

namespace {

// The running program's path from /proc (QCoreApplication may not exist).
QString ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return QString::fromLocal8Bit(buf, int(n));
}

}  // namespace

QString MainBundlePath() {
  if (const char* env = std::getenv("QUIREL_BUNDLE"); env && *env) return QDir::cleanPath(QString::fromLocal8Bit(env));

  const QString exe = ExecutablePath();
  if (exe.isEmpty()) return {};
  const QDir exeDir = QFileInfo(exe).absoluteDir();
  const QString dir = exeDir.absolutePath();
  if (dir.endsWith(QLatin1String("/Contents/MacOS"))) return QDir::cleanPath(dir + QLatin1String("/../.."));

  for (const QString& candidate : {dir + QLatin1String("/Quirel.app"), dir + QLatin1String("/../Quirel.app")}) {
    if (QFileInfo(candidate).isDir()) return QDir::cleanPath(candidate);
  }
  return {};
}

QString AuxiliaryExecutablePath(const QString& bundle, const QString& name) {
  return bundle + QLatin1String("/Contents/MacOS/") + name;
}

}  // namespace quirel::frontend
