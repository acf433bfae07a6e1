// The scan window tests' main: runs the test class named by the first argument under one QApplication.
#include "GuiTestMain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>

namespace guitest {
std::vector<Suite>& Suites() {
  static std::vector<Suite> suites;
  return suites;
}
}  // namespace guitest

namespace {

// Applications that open PDF and TIFF files, installed for this run only;
// the host's own are hidden. They must be in place before anything asks
// the desktop for applications, which caches what it finds. Each writes the
// files it is asked to open into its own "opened-<id>" file.
void InstallTestApplications(const QString& dataHome) {
  qputenv("XDG_DATA_HOME", dataHome.toUtf8());
  qputenv("XDG_DATA_DIRS", (dataHome + "/nothing-else").toUtf8());
  QDir().mkpath(dataHome + "/applications");
  struct Entry {
    const char* id;
    const char* name;
    const char* version;
    const char* types;
  };
  const Entry entries[] = {
      {"viewer-9", "Page Viewer", "9.0", "application/pdf;image/tiff;"},
      {"viewer-10", "Page Viewer", "10.0", "application/pdf;image/tiff;"},
      {"atlas", "atlas", "", "application/pdf;"},
      {"tifftool", "Tiff Tool", "2", "image/tiff;"},
      {"noversion-copy", "atlas", "", "application/pdf;"},
  };
  for (const Entry& e : entries) {
    QFile f(QString("%1/applications/%2.desktop").arg(dataHome, e.id));
    if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(f.fileName()));
    QString text = QString("[Desktop Entry]\nType=Application\nName=%1\nMimeType=%2\n"
                           "Exec=/bin/sh -c 'echo \"$1\" >> \"%3/opened-%4\"' sh %f\n")
                       .arg(e.name, e.types, dataHome, e.id);
    if (*e.version) text += QString("X-AppVersion=%1\n").arg(e.version);
    f.write(text.toUtf8());
  }
  // The index of types to applications that update-desktop-database keeps
  // on a desktop system; GIO finds applications for a type through it.
  QFile cache(dataHome + "/applications/mimeinfo.cache");
  if (!cache.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(cache.fileName()));
  QString index = "[MIME Cache]\n";
  for (const char* type : {"application/pdf", "image/tiff"}) {
    index += QString(type) + "=";
    for (const Entry& e : entries)
      if (QString(e.types).contains(QString(type) + ";")) index += QString(e.id) + ".desktop;";
    index += "\n";
  }
  cache.write(index.toUtf8());
}

}  // namespace

int main(int argc, char** argv) {
  QTemporaryDir dataHome;
  InstallTestApplications(dataHome.path());
  QApplication app(argc, argv);
  const char* only = nullptr;
  std::vector<char*> args{argv[0]};
  if (argc > 1 && argv[1][0] != '-') {
    only = argv[1];
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  } else {
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  }
  int failures = 0;
  bool ran = false;
  for (const guitest::Suite& suite : guitest::Suites()) {
    if (only && std::strcmp(only, suite.name) != 0) continue;
    ran = true;
    std::unique_ptr<QObject> test = suite.make();
    failures += QTest::qExec(test.get(), int(args.size()), args.data());
  }
  if (!ran) {
    std::fprintf(stderr, "no test class named %s\n", only ? only : "(none registered)");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
