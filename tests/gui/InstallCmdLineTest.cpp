// Installing the command-line tool into a temporary /usr/local: what is
// asked, what runs, what is returned, for each state of the installed copy
// and each answer of the authorization layer; and the pkexec layer itself,
// with a stand-in pkexec on PATH.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

#include "GuiTestMain.h"
#include "InstallCmdLine.h"

namespace {

// Grants, cancels or refuses; when it grants it runs the commands for real
// (they only touch the temporary folder).
class ScriptedAuthorization : public AdminAuthorization {
 public:
  enum Answer { kGrant, kCancel, kDeny };
  Answer answer = kGrant;
  std::vector<std::string> prompts;
  std::vector<std::vector<std::string>> ran;

  int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::vector<std::string>>& commands,
                            int32_t* lastStatus) override {
    prompts.push_back(prompt);
    if (answer == kCancel) return errAuthorizationCanceled;
    if (answer == kDeny) return errAuthorizationDenied;
    for (const auto& command : commands) {
      ran.push_back(command);
      QStringList args;
      for (size_t i = 1; i < command.size(); ++i) args << QString::fromStdString(command[i]);
      *lastStatus = QProcess::execute(QString::fromStdString(command[0]), args);
    }
    return errAuthorizationSuccess;
  }
};

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(bytes);
}

}  // namespace

class InstallCmdLineTest : public QObject {
  Q_OBJECT

 private slots:
  void installsOrAsksAsTheInstalledCopyRequires_data() {
    QTest::addColumn<QByteArray>("installed");  // "<none>" when absent
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("prompt");  // empty: nothing asked
    QTest::addColumn<bool>("copied");

    const QByteArray none("<none>");
    const int grant = ScriptedAuthorization::kGrant, cancel = ScriptedAuthorization::kCancel,
              deny = ScriptedAuthorization::kDeny;
    const QString install = kPromptInstall, update = kPromptUpdate;
    QTest::newRow("not installed, granted") << none << grant << 0 << install << true;
    QTest::newRow("not installed, cancelled") << none << cancel << int(errAuthorizationCanceled) << install << false;
    QTest::newRow("not installed, refused") << none << deny << int(errAuthorizationDenied) << install << false;
    QTest::newRow("byte for byte the same") << QByteArray("#!tool v2\n") << grant << 0 << QString() << false;
    QTest::newRow("same size, other bytes") << QByteArray("#!tool v1\n") << grant << 0 << update << true;
    QTest::newRow("other size") << QByteArray("#!tool v10\n") << grant << 0 << update << true;
    QTest::newRow("update cancelled") << QByteArray("#!tool v1\n") << cancel << int(errAuthorizationCanceled) << update
                                      << false;
  }

  void installsOrAsksAsTheInstalledCopyRequires() {
    QFETCH(QByteArray, installed);
    QFETCH(int, answer);
    QFETCH(int, status);
    QFETCH(QString, prompt);
    QFETCH(bool, copied);

    QTemporaryDir tmp;
    const QString bundleTool = tmp.filePath("Quirel.app/Contents/MacOS/quirel");
    WriteFile(bundleTool, "#!tool v2\n");
    InstallPaths paths{bundleTool.toStdString(), tmp.filePath("usr/local").toStdString()};
    const QString target = QString::fromStdString(paths.installedTool());
    if (installed != "<none>") WriteFile(target, installed);

    ScriptedAuthorization auth;
    auth.answer = ScriptedAuthorization::Answer(answer);
    QCOMPARE(InstallCmdLine(auth, paths), status);
    QCOMPARE(auth.prompts.empty() ? QString() : QString::fromStdString(auth.prompts.front()), prompt);
    QVERIFY(auth.prompts.size() <= 1);
    if (copied) {
      QCOMPARE(ReadFile(target), QByteArray("#!tool v2\n"));
      struct stat st {};
      for (const std::string& p : {paths.localDir, paths.binDir(), paths.installedTool()}) {
        QCOMPARE(::stat(p.c_str(), &st), 0);
        QVERIFY2((st.st_mode & 0555) == 0555, p.c_str());
      }
      const std::vector<std::vector<std::string>> want{
          {"/bin/mkdir", "-p", paths.binDir()},
          {"/bin/cp", "-f", paths.bundleTool, paths.installedTool()},
          {"/bin/chmod", "a+rx", paths.localDir},
          {"/bin/chmod", "a+rx", paths.binDir()},
          {"/bin/chmod", "a+rx", paths.installedTool()},
      };
      QVERIFY(auth.ran == want);
    } else {
      QVERIFY(auth.ran.empty());
      QCOMPARE(ReadFile(target), installed == "<none>" ? QByteArray("<missing>") : installed);
    }
  }

  void failuresBeforeAskingAreReturned() {
    QTemporaryDir tmp;
    ScriptedAuthorization auth;
    // No tool in the bundle.
    InstallPaths missing{tmp.filePath("Quirel.app/Contents/MacOS/quirel").toStdString(),
                         tmp.filePath("usr/local").toStdString()};
    QCOMPARE(InstallCmdLine(auth, missing), fnfErr);
    // An installed "tool" of the same size that cannot be read (a folder).
    const QString bundleTool = tmp.filePath("quirel");
    InstallPaths paths{bundleTool.toStdString(), tmp.filePath("usr/local").toStdString()};
    QVERIFY(QDir().mkpath(QString::fromStdString(paths.installedTool())));
    struct stat st {};
    QCOMPARE(::stat(paths.installedTool().c_str(), &st), 0);
    WriteFile(bundleTool, QByteArray(int(st.st_size), 'x'));
    QCOMPARE(InstallCmdLine(auth, paths), int32_t(EISDIR));
    QVERIFY(auth.prompts.empty());
  }

  // The real layer, with a stand-in pkexec that answers as polkit would.
  void pkexecStatusesMapToAuthorizationStatuses_data() {
    QTest::addColumn<QString>("pkexecBody");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("last");
    QTest::addColumn<bool>("installed");
    QTest::newRow("granted") << "exec \"$@\"" << 0 << 0 << true;
    QTest::newRow("dialog dismissed") << "exit 126" << int(errAuthorizationCanceled) << -1 << false;
    QTest::newRow("not authorized") << "exit 127" << int(errAuthorizationDenied) << -1 << false;
    QTest::newRow("granted, last command fails") << "exec \"$@\"" << 0 << 1 << false;
  }

  void pkexecStatusesMapToAuthorizationStatuses() {
    QFETCH(QString, pkexecBody);
    QFETCH(int, status);
    QFETCH(int, last);
    QFETCH(bool, installed);
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("bin/pkexec"), ("#!/bin/sh\n" + pkexecBody + "\n").toUtf8());
    QFile::setPermissions(tmp.filePath("bin/pkexec"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", tmp.filePath("bin").toUtf8() + ":" + oldPath);

    // A source path with a blank and a quote, to prove the quoting.
    const QString source = tmp.filePath("it's a tool");
    WriteFile(source, "#!tool\n");
    const QString local = tmp.filePath("usr/local");
    std::vector<std::vector<std::string>> commands{
        {"/bin/mkdir", "-p", (local + "/bin").toStdString()},
        {"/bin/cp", "-f", source.toStdString(), (local + "/bin/quirel").toStdString()},
        {"/bin/sh", "-c", last == 1 ? "exit 1" : "exit 0"},
    };
    PkexecAuthorization auth;
    int32_t lastStatus = -1;
    const int32_t got = auth.RunWithPrivileges(kPromptInstall, commands, &lastStatus);
    qputenv("PATH", oldPath);
    QCOMPARE(got, status);
    QCOMPARE(lastStatus, last);
    if (installed) QCOMPARE(ReadFile(local + "/bin/quirel"), QByteArray("#!tool\n"));
  }
};

QUIREL_GUI_TEST(InstallCmdLineTest)
#include "InstallCmdLineTest.moc"
