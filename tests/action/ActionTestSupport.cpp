// Shared pieces of the workflow action's tests.
#include "ActionTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <signal.h>
#include <utility>

#include "AMPropertyList.h"
#include "Quirel_Settings.h"

namespace quirel::action::test {

QVariantMap Parameters(int fileType, int fileAction, bool preview) {
  frontend::Quirel_Settings s;
  s.mFileType = fileType;
  s.mFileAction = fileAction;
  s.mPreview = preview;
  QVariantMap p;
  s.writeToDictionary(&p);
  return p;
}

std::string WriteParameters(const e2e::TempDir& dir, const QVariantMap& parameters) {
  const std::string path = dir.File("parameters.plist");
  QString why;
  if (!amhost::WritePropertyListFile(QString::fromStdString(path), parameters, &why))
    throw std::runtime_error(why.toStdString());
  return path;
}

WorkflowRun RunWorkflow(const QStringList& args, WorkflowEnv env, const QByteArray& stdinText) {
  QProcess p;
  QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
  e.insert("QT_QPA_PLATFORM", "offscreen");
  if (!env.display.empty()) {
    e.remove("QT_QPA_PLATFORM");
    e.remove("WAYLAND_DISPLAY");
    e.remove("DISPLAY");
    if (env.display != "none") e.insert("DISPLAY", QString::fromStdString(env.display));
  }
  e.insert("QUIREL_VIRTUAL_SCANNER", QString::fromStdString(env.scanner));
  e.remove("QUIREL_ACTION_PATH");
  if (!env.actionPath.empty()) e.insert("QUIREL_ACTION_PATH", QString::fromStdString(env.actionPath));
  if (!env.home.empty()) {
    e.insert("HOME", QString::fromStdString(env.home));
    e.insert("XDG_CONFIG_HOME", QString::fromStdString(env.home));
  }
  if (!env.locale.empty()) {
    e.insert("LC_ALL", QString::fromStdString(env.locale + ".UTF-8"));
    e.insert("LOCPATH", QString::fromStdString(e2e::CompiledLocales(env.locale)));
  }
  p.setProcessEnvironment(e);
  p.start(QStringLiteral(QUIREL_BINARY_DIR "/bin/quirel-workflow"), args);
  WorkflowRun run;
  if (!p.waitForStarted(10000)) return run;
  p.write(stdinText);
  p.closeWriteChannel();
  QElapsedTimer clock;
  clock.start();
  while (!p.waitForFinished(20)) {
    if (env.stopSignal && (env.stopAfterMs > 0 ? clock.elapsed() >= env.stopAfterMs
                                               : QFileInfo::exists(QString::fromStdString(env.stopWhen))))
      ::kill(pid_t(p.processId()), std::exchange(env.stopSignal, 0));
    if (clock.elapsed() > 120000) {
      p.kill();
      p.waitForFinished();
      break;
    }
  }
  run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(p.readAllStandardError());
  if (p.exitStatus() == QProcess::NormalExit) run.status = p.exitCode();
  return run;
}

std::string BuiltActionBundle() { return QUIREL_BUNDLE_DIR "/Contents/Library/Automator/Quirel-AM.action"; }

std::string CopyActionBundle(const std::string& folder) {
  const std::string cmd = "mkdir -p " + e2e::Quote(folder) + " && cp -r " + e2e::Quote(BuiltActionBundle()) + " " +
                          e2e::Quote(folder) + "/";
  std::string output;
  if (e2e::Shell(cmd, &output) != 0) throw std::runtime_error(output);
  return folder;
}

void MakeAppBundle(const std::string& appPath, const std::string& identifier) {
  QDir().mkpath(QString::fromStdString(appPath + "/Contents"));
  QString why;
  amhost::WritePropertyListFile(QString::fromStdString(appPath + "/Contents/Info.plist"),
                                {{"CFBundleIdentifier", QString::fromStdString(identifier)}}, &why);
}

}  // namespace quirel::action::test
