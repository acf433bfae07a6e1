// Installing the command-line tool into a temporary /usr/local: what is
// asked, what runs, what is returned, for each state of the installed copy
// and each answer of the authorization layer; and the pkexec layer itself,
// with a stand-in pkexec on PATH.
#include <QDir>
#include <functional>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

#include "GuiTestMain.h"
#include "InstallCmdLine.h"
#include "RunningApp.h"

namespace {

// Grants, cancels or refuses; when it grants it runs the commands for real
// (they only touch the temporary folder).
class ScriptedAuthorization : public AdminAuthorization {
 public:
  enum Answer { kGrant, kCancel, kDeny };
  Answer answer = kGrant;
  std::vector<std::string> prompts;
  std::vector<std::vector<std::string>> ran;
  std::string input;
  // Run before the command, as another program of the user's might: the
  // bundle's tool swapped for other bytes.
  std::function<void()> meanwhile;

  int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::string>& command,
                            const std::string& bytes, int32_t* exitStatus) override {
    prompts.push_back(prompt);
    if (answer == kCancel) return errAuthorizationCanceled;
    if (answer == kDeny) return errAuthorizationDenied;
    if (meanwhile) meanwhile();
    ran.push_back(command);
    input = bytes;
    *exitStatus = guitest::RunGranted(command, bytes);
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
    // The bytes checked are the bytes installed, whatever the bundle's file
    // becomes while the password is asked for.
    QTest::newRow("bundle's file swapped meanwhile") << none << grant << 0 << install << true;
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

    // A folder of its own mode: the installation leaves it alone.
    QVERIFY(QDir().mkpath(QString::fromStdString(paths.localDir)));
    QVERIFY(::chmod(paths.localDir.c_str(), 0750) == 0);

    ScriptedAuthorization auth;
    auth.answer = ScriptedAuthorization::Answer(answer);
    if (QByteArray(QTest::currentDataTag()).contains("swapped"))
      auth.meanwhile = [&] { WriteFile(bundleTool, "#!/bin/sh\nrm -rf ~\n"); };
    QCOMPARE(InstallCmdLine(auth, paths), status);
    QCOMPARE(auth.prompts.empty() ? QString() : QString::fromStdString(auth.prompts.front()), prompt);
    QVERIFY(auth.prompts.size() <= 1);
    if (copied) {
      QCOMPARE(ReadFile(target), QByteArray("#!tool v2\n"));
      QCOMPARE(auth.input, std::string("#!tool v2\n"));
      // One program with fixed arguments; the tool root-owned (when the
      // test may give it away) and 0755; no folder's mode changed.
      const std::vector<std::vector<std::string>> want{{"/usr/bin/install", "-D", "-m", "0755", "-o", "root", "-g",
                                                        "root", "-T", "/dev/stdin", paths.installedTool()}};
      QVERIFY(auth.ran == want);
      struct stat st {};
      QCOMPARE(::stat(paths.installedTool().c_str(), &st), 0);
      QCOMPARE(int(st.st_mode & 07777), 0755);
      if (::geteuid() == 0) QVERIFY(st.st_uid == 0 && st.st_gid == 0);
      QCOMPARE(::stat(paths.localDir.c_str(), &st), 0);
      QCOMPARE(int(st.st_mode & 07777), 0750);
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
    // Bytes that are no program are not installed.
    WriteFile(tmp.filePath("junk/quirel"), "not a program");
    InstallPaths junk{tmp.filePath("junk/quirel").toStdString(), tmp.filePath("usr/local").toStdString()};
    QCOMPARE(InstallCmdLine(auth, junk), int32_t(ENOEXEC));
    // An installed "tool" of the same size that cannot be read (a folder).
    const QString bundleTool = tmp.filePath("quirel");
    InstallPaths paths{bundleTool.toStdString(), tmp.filePath("usr/local").toStdString()};
    QVERIFY(QDir().mkpath(QString::fromStdString(paths.installedTool())));
    struct stat st {};
    QCOMPARE(::stat(paths.installedTool().c_str(), &st), 0);
    WriteFile(bundleTool, "#!" + QByteArray(int(st.st_size) - 2, 'x'));
    QCOMPARE(InstallCmdLine(auth, paths), int32_t(EISDIR));
    QVERIFY(auth.prompts.empty());
  }

  // The real layer, with a stand-in pkexec that answers as polkit would and
  // notes what it was asked to run.
  void pkexecStatusesMapToAuthorizationStatuses_data() {
    QTest::addColumn<QString>("pkexecBody");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("last");
    QTest::addColumn<bool>("installed");
    QTest::newRow("granted") << "exec \"$@\"" << 0 << 0 << true;
    QTest::newRow("dialog dismissed") << "exit 126" << int(errAuthorizationCanceled) << -1 << false;
    QTest::newRow("not authorized") << "exit 127" << int(errAuthorizationDenied) << -1 << false;
    QTest::newRow("granted, the command fails") << "exec \"$@\"" << 0 << 1 << false;
  }

  void pkexecStatusesMapToAuthorizationStatuses() {
    QFETCH(QString, pkexecBody);
    QFETCH(int, status);
    QFETCH(int, last);
    QFETCH(bool, installed);
    QTemporaryDir tmp;
    WriteFile(tmp.filePath("bin/pkexec"), ("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/asked\"\n" +
                                           pkexecBody + "\n")
                                              .toUtf8());
    QFile::setPermissions(tmp.filePath("bin/pkexec"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", tmp.filePath("bin").toUtf8() + ":" + oldPath);

    // A folder with a blank and a quote: the arguments reach the program as
    // they are, no shell reads them.
    const QString local = tmp.filePath("it's /usr/local");
    InstallPaths paths{"", local.toStdString()};
    std::vector<std::string> command = InstallCommand(paths);
    if (::geteuid() != 0) command.erase(command.begin() + 4, command.begin() + 8);  // -o root -g root
    if (last == 1) command = {"/bin/sh", "-c", "exit 1"};
    PkexecAuthorization auth;
    int32_t lastStatus = -1;
    const int32_t got = auth.RunWithPrivileges(kPromptInstall, command, "#!tool\n", &lastStatus);
    qputenv("PATH", oldPath);
    QCOMPARE(got, status);
    QCOMPARE(lastStatus, last);
    QStringList want;
    for (const std::string& a : command) want << QString::fromStdString(a);
    QCOMPARE(QString::fromUtf8(ReadFile(tmp.filePath("bin/asked"))), want.join('\n') + "\n");
    if (installed) {
      QCOMPARE(ReadFile(local + "/bin/quirel"), QByteArray("#!tool\n"));
      struct stat st {};
      QCOMPARE(::stat(QFile::encodeName(local + "/bin/quirel").constData(), &st), 0);
      QCOMPARE(int(st.st_mode & 07777), 0755);
    }
  }
};

QUIREL_GUI_TEST(InstallCmdLineTest)
#include "InstallCmdLineTest.moc"
