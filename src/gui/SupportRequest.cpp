// The support request: a mail with a system report, opened in the user's mail program.
#include "SupportRequest.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextStream>
#include <sys/utsname.h>

QString RunForText(const QString& program, const QStringList& args, int* exitStatus) {
  QProcess process;
  process.start(program, args);
  if (!process.waitForStarted(-1)) {
    if (exitStatus) *exitStatus = -1;
    return QString();
  }
  // QProcess keeps reading both pipes while it waits, so neither fills up.
  process.waitForFinished(-1);
  const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  if (exitStatus) *exitStatus = status;
  return QString::fromUtf8(status == 0 ? process.readAllStandardOutput() : process.readAllStandardError());
}

namespace {

QString ReadTrimmed(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return QString::fromUtf8(f.readAll()).trimmed();
}

QString OsReleaseName(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return "unknown (" + path + " unreadable)";
  QString name;
  while (!f.atEnd()) {
    const QString line = QString::fromUtf8(f.readLine()).trimmed();
    if (line.startsWith("PRETTY_NAME=")) {
      name = line.mid(12);
      if (name.size() >= 2 && (name.startsWith('"') || name.startsWith('\''))) name = name.mid(1, name.size() - 2);
    }
  }
  return name.isEmpty() ? QString("unknown") : name;
}

}  // namespace

QString SystemReport(const QString& sysRoot, const QString& osRelease) {
  QString out;
  QTextStream s(&out);
  utsname u{};
  if (uname(&u) == 0)
    s << "Kernel: " << u.sysname << ' ' << u.release << ' ' << u.version << ' ' << u.machine << '\n';
  s << "System: " << OsReleaseName(osRelease) << '\n';
  s << "USB devices:\n";
  QDir devices(sysRoot + "/bus/usb/devices");
  const QStringList names = devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
  int listed = 0;
  for (const QString& name : names) {
    const QString dir = devices.filePath(name);
    const QString vendor = ReadTrimmed(dir + "/idVendor");
    if (vendor.isEmpty()) continue;  // an interface, not a device
    const QString product = ReadTrimmed(dir + "/idProduct");
    QString line = QString("  %1 %2:%3").arg(name, vendor, product);
    const QString maker = ReadTrimmed(dir + "/manufacturer");
    const QString model = ReadTrimmed(dir + "/product");
    if (!maker.isEmpty()) line += ' ' + maker;
    if (!model.isEmpty()) line += ' ' + model;
    const QString speed = ReadTrimmed(dir + "/speed");
    if (!speed.isEmpty()) line += QString(" (%1 Mbit/s)").arg(speed);
    s << line << '\n';
    ++listed;
  }
  if (listed == 0) s << "  none found\n";
  return out;
}

QString SupportMailBody(const BundleVersions& bundle, const QString& scanners, const QString& system) {
  return QString("\n\n--- %1 - %2 - %3 ---\n\n--- Scanners ---\n\n%4\n--- System Info ---\n\n%5\n")
      .arg(bundle.identifier, bundle.shortVersion, bundle.version, scanners, system);
}

QUrl SupportMailUrl(const QString& body) {
  const QByteArray subject = "SUBJECT=" + QUrl::toPercentEncoding(kSupportSubject);
  const QByteArray text = "BODY=" + QUrl::toPercentEncoding(body);
  return QUrl::fromEncoded(QByteArray("mailto:") + kSupportMailbox + "?" + subject + "&" + text, QUrl::StrictMode);
}
