// quirel-workflow: the workflow host program. It loads the workflow action
// Quirel-AM by its identifier and either shows its settings view and saves
// its parameters, or runs it as one step of a shell pipeline or a
// file-manager script.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>
#include <QVBoxLayout>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "AMBundle.h"
#include "AMPlugin.h"
#include "AMPropertyList.h"
#include "AMWorkflowRunner.h"
#include "PrefsStore.h"
#include "ProcessSetup.h"
#include "ScanStatus.h"

using namespace quirel::amhost;

namespace {

// The host's own statuses; a scan's outcome ends the run with the status the
// tool gives the same outcome (ScanStatus.h, documented in
// quirel-workflow(1) from kStatusMeanings).
constexpr int kExitActionFailed = 1;
constexpr int kExitCannotLoad = 2;
constexpr int kExitStopped = ZuzuvovOvav::kScanStoppedEarly;
constexpr int kExitUsage = ZuzuvovOvav::kScanUsage;

const char* const kDefaultIdentifier = "com.brannoch.quirel.action";
const char* const kDefaultParametersName = "Quirel-AM.plist";

const char kUsage[] =
    "Usage: quirel-workflow configure [-p FILE] [-a IDENTIFIER]\n"
    "       quirel-workflow run [-p FILE] [-a IDENTIFIER] [INPUT]\n"
    "\n"
    "Runs the workflow action Quirel-AM (scan with Quirel) outside a workflow editor.\n"
    "\n"
    "  configure  shows the action's scan settings; Save writes them to the\n"
    "             parameters file.\n"
    "  run        scans with the saved settings. INPUT is the output file, or a\n"
    "             folder to choose the file in; without INPUT the first line of\n"
    "             standard input is taken (when it is not a terminal); with no\n"
    "             path at all the file is chosen in a save panel. The output\n"
    "             path is printed on standard output; when the action fails its\n"
    "             message goes to standard error and the status is 1, or the\n"
    "             scan's status when the scan failed or ended with a problem.\n"
    "             SIGINT (Ctrl-C), SIGTERM or the preview window's Stop stops the\n"
    "             scan: no further sheet is loaded, the pages scanned are in the\n"
    "             file (its path is printed only when there are any), and the\n"
    "             status is 8.\n"
    "             Without a display (none set, one that cannot be reached, or\n"
    "             QT_QPA_PLATFORM=offscreen) the scan still runs, and the action\n"
    "             never waits for an answer: what it would have asked goes to\n"
    "             standard error and the status is 1.\n"
    "\n"
    "Options:\n"
    "  -p, --parameters FILE   the action's parameters (property list); default\n"
    "                          $XDG_CONFIG_HOME/Quirel-AM.plist. A missing file\n"
    "                          means the action's defaults.\n"
    "  -a, --action IDENTIFIER the action's bundle identifier; default\n"
    "                          com.brannoch.quirel.action. Action bundles are\n"
    "                          looked for in $QUIREL_ACTION_PATH (folders separated\n"
    "                          by ':') and in the Quirel application bundle.\n"
    "  -h, --help              this text.\n"
    "\n"
    "Exit status: 0 done; 1 the action failed; 2 the action or its parameters\n"
    "could not be loaded or saved; 64 bad arguments; a scan that failed or ended\n"
    "with a problem ends with the status the tool quirel gives it (2 no scanner,\n"
    "3 to 6, 8 stopped on request, 9 to 12). See quirel-workflow(1).\n";

struct Options {
  QString command;
  QString parameters;
  QString identifier = QString::fromLatin1(kDefaultIdentifier);
  std::optional<QString> input;
};

int UsageError(const QString& message) {
  std::fprintf(stderr, "quirel-workflow: %s\nTry 'quirel-workflow --help'.\n", message.toLocal8Bit().constData());
  return kExitUsage;
}

// 0 when the arguments were read, else the exit status (-1: help shown).
int ParseArguments(const QStringList& args, Options* opt) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    auto value = [&](QString* out) {
      if (i + 1 >= args.size() || args[i + 1].isEmpty()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "-p" || a == "--parameters") {
      if (!value(&opt->parameters)) return UsageError(a + " needs a file");
    } else if (a == "-a" || a == "--action") {
      if (!value(&opt->identifier)) return UsageError(a + " needs an identifier");
    } else if (a.startsWith('-') && a != "-" && a != "--") {
      return UsageError("unknown option " + a);
    } else if (opt->command.isEmpty()) {
      if (a != "configure" && a != "run") return UsageError("unknown command " + a + " (configure or run)");
      opt->command = a;
    } else if (opt->command == "run" && !opt->input) {
      opt->input = a == "--" && i + 1 < args.size() ? args[++i] : a;
    } else {
      return UsageError("unexpected argument " + a);
    }
  }
  if (opt->command.isEmpty()) return UsageError("no command given (configure or run)");
  if (opt->parameters.isEmpty()) {
    opt->parameters = quirel::frontend::CreatePrefsUrl(0, QString::fromLatin1(kDefaultParametersName));
    if (opt->parameters.isEmpty()) return UsageError("no configuration folder for the parameters file; give -p FILE");
  }
  return 0;
}

int Fail(const QString& message, int status) {
  std::fprintf(stderr, "quirel-workflow: %s\n", message.toLocal8Bit().constData());
  return status;
}

// The first line of standard input (without its line end).
QString ReadInputLine() {
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return QString::fromLocal8Bit(line.c_str());
}

// Whether the windowing system shows windows to a user: the offscreen and
// minimal platforms show them to nobody.
bool HasDisplay() {
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal" && platform != "minimalegl";
}

// The stop signals (SIGINT, SIGTERM, SIGHUP, ...) during a run become the
// action's stop. The handler only
// writes to a pipe; the GUI thread's event loop, which runs during the run,
// reads it and asks the action to stop.
class StopOnSignals {
 public:
  explicit StopOnSignals(AMBundleAction& action) {
    if (pipe2(sPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    mNotifier = std::make_unique<QSocketNotifier>(sPipe[0], QSocketNotifier::Read);
    QObject::connect(mNotifier.get(), &QSocketNotifier::activated, [this, &action] {
      char drained[16];
      while (read(sPipe[0], drained, sizeof drained) > 0) {
      }
      if (!mStopped)
        std::fprintf(stderr, "quirel-workflow: stopping the scan; no further sheet is loaded\n");
      mStopped = true;
      action.stopAction();
    });
    quirel::host::HandleStopSignals(
        [](int) {
          const char c = 0;
          [[maybe_unused]] const ssize_t n = write(sPipe[1], &c, 1);
        },
        true);
  }
  bool stopped() const { return mStopped; }

 private:
  static inline int sPipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> mNotifier;
  bool mStopped = false;
};

int Configure(AMBundleAction& action, const QString& parametersPath) {
  if (!HasDisplay())
    return Fail("there is no display to show the action's settings on (platform " + QGuiApplication::platformName() +
                    "); configure needs one",
                kExitActionFailed);
  QDialog dialog;
  dialog.setWindowTitle("Quirel-AM");
  auto* layout = new QVBoxLayout(&dialog);
  QWidget* view = action.view();
  if (!view) return Fail("the action has no settings view", kExitCannotLoad);
  layout->addWidget(view);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, &dialog);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  action.opened();
  const int result = dialog.exec();
  // The view belongs to the action, not to the dialog.
  view->setParent(nullptr);
  if (result != QDialog::Accepted) return 0;
  action.updateParameters();
  QString why;
  if (!WritePropertyListFile(parametersPath, action.parameters(), &why))
    return Fail("cannot save the parameters: " + why, kExitCannotLoad);
  std::printf("%s\n", parametersPath.toLocal8Bit().constData());
  return 0;
}

int Run(AMBundleAction& action, const QString& input) {
  action.setUserCanAnswer(HasDisplay());
  StopOnSignals stop(action);
  const AMRunResult result = RunAction(action, input);
  // A stop from the action's own Stop button ends the run as a stop signal does.
  const bool stopped = stop.stopped() || action.lastRunStopped();
  const int pages = action.lastRunPages();
  const QByteArray output = result.output.toLocal8Bit();
  const bool exists = !result.output.isEmpty() && QFileInfo::exists(result.output);
  if (!result.errorInfo.isEmpty()) {
    std::fprintf(stderr, "quirel-workflow: %s\n", AMErrorMessage(result.errorInfo).toLocal8Bit().constData());
    // What the run left at its path.
    if (!result.output.isEmpty()) {
      if (pages > 0 && exists)
        std::fprintf(stderr, "quirel-workflow: the %d page%s scanned before the failure %s in %s\n", pages,
                     pages == 1 ? "" : "s", pages == 1 ? "is" : "are", output.constData());
      else if (exists)
        std::fprintf(stderr, "quirel-workflow: %s was left as it was\n", output.constData());
      else
        std::fprintf(stderr, "quirel-workflow: no file was written at %s\n", output.constData());
    }
    if (stopped) return kExitStopped;
    // A scan that ended with a failure or a problem: its status.
    const int scanStatus = action.lastRunStatus();
    return scanStatus > 0 ? scanStatus : kExitActionFailed;
  }
  if (!stopped) {
    std::printf("%s\n", output.constData());
    return 0;
  }
  // Stopped: the path only when pages of this run are in the file.
  if (exists && pages != 0) {
    std::printf("%s\n", output.constData());
    std::fprintf(stderr, "quirel-workflow: stopped on request; the pages scanned before the stop are in %s\n",
                 output.constData());
  } else if (exists) {
    std::fprintf(stderr, "quirel-workflow: stopped on request before a page was scanned; %s was left as it was\n",
                 output.constData());
  } else {
    std::fprintf(stderr, "quirel-workflow: stopped on request before a page was scanned\n");
  }
  return kExitStopped;
}

// Without a display a run still runs: the action's windows go to the
// offscreen platform, and what the action would have asked goes to standard
// error. A display named in the environment is tried first, and one that
// cannot be reached gives way to the offscreen platform instead of ending
// the program. The platform's complaints about that display are replaced by
// one line.
void ChoosePlatform(const Options& opt) {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
  const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  QByteArray platforms = wayland ? "wayland;" : "";
  if (x11) platforms += "xcb;";
  qputenv("QT_QPA_PLATFORM", platforms + "offscreen");
  if ((x11 || wayland) && opt.command == "run")
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
      const bool platform = context.category && QByteArray(context.category).startsWith("qt.qpa");
      if (!platform || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    });
}

}  // namespace

int main(int argc, char** argv) {
  // Before any file is opened: a closed standard stream must not become the
  // output file, nor take the printed result path.
  quirel::host::KeepStandardStreamsOpen();
  // The arguments are read before the windowing system is opened, so that
  // help and usage errors need no display.
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  Options opt;
  if (const int status = ParseArguments(args, &opt)) return status < 0 ? 0 : status;
  ChoosePlatform(opt);
  const bool displayNamed = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");

  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  if (displayNamed && QGuiApplication::platformName() == "offscreen" && opt.command == "run")
    std::fprintf(stderr, "quirel-workflow: the display %s cannot be reached; running without one\n",
                 qEnvironmentVariableIsEmpty("DISPLAY") ? qgetenv("WAYLAND_DISPLAY").constData()
                                                        : qgetenv("DISPLAY").constData());
  QApplication::setApplicationName("quirel-workflow");
  app.setQuitOnLastWindowClosed(false);

  QString input;
  if (opt.command == "run") {
    if (opt.input && *opt.input != "-")
      input = *opt.input;
    else if (opt.input || !isatty(STDIN_FILENO))
      input = ReadInputLine();
  }

  QVariantMap parameters;
  if (QFileInfo::exists(opt.parameters)) {
    QString why;
    if (!ReadPropertyListFile(opt.parameters, &parameters, &why))
      return Fail("cannot read the parameters: " + why, kExitCannotLoad);
  } else if (opt.command == "run") {
    std::fprintf(stderr, "quirel-workflow: %s does not exist; the action's default settings are used\n",
                 opt.parameters.toLocal8Bit().constData());
  }

  QString searched;
  const std::optional<AMBundle> bundle = FindActionBundle(opt.identifier, ActionSearchFolders(), &searched);
  if (!bundle) return Fail(QString("no action %1 found (looked in %2)").arg(opt.identifier, searched), kExitCannotLoad);
  QString why;
  std::unique_ptr<AMBundleAction> action = LoadAction(*bundle, parameters, &why);
  if (!action) return Fail("cannot load the action: " + why, kExitCannotLoad);

  return opt.command == "configure" ? Configure(*action, opt.parameters) : Run(*action, input);
}
