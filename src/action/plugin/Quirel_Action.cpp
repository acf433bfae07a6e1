// The workflow action Quirel-AM.
#include "Quirel_Action.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <chrono>
#include <thread>

#include "FrontendLog.h"
#include "ScanStatus.h"
#include "Quirel_ScanController_Action.h"
#include "Quirel_Settings.h"
#include "ui_ActionView.h"

using quirel::frontend::Log;
using quirel::frontend::Quirel_Settings;

namespace {

// The save panel of the action: what the user enters goes to the action
// (its delegate), which ends the panel or asks about an existing file.
class ActionSavePanel : public QFileDialog {
 public:
  explicit ActionSavePanel(Quirel_Action* delegate) : mDelegate(delegate) {
    setOption(QFileDialog::DontUseNativeDialog);
    setOption(QFileDialog::DontConfirmOverwrite);
    setAcceptMode(QFileDialog::AcceptSave);
  }

  void accept() override {
    // The name as typed: the panel's default suffix must not decide the
    // extension, the delegate does.
    const auto* field = findChild<QLineEdit*>("fileNameEdit");
    QString name = field ? field->text().trimmed() : QString();
    if (name.isEmpty()) {
      const QStringList files = selectedFiles();
      if (!files.isEmpty()) name = QFileInfo(files.first()).fileName();
    }
    if (name.isEmpty()) return;
    // A name that leads into another folder (a folder name, or a path)
    // moves the panel there.
    const QString full = QDir(directory().absolutePath()).absoluteFilePath(name);
    if (QFileInfo(full).isDir()) {
      setDirectory(full);
      if (QLineEdit* f = findChild<QLineEdit*>("fileNameEdit")) f->clear();
      return;
    }
    if (name.contains(QLatin1Char('/'))) {
      setDirectory(QFileInfo(full).absolutePath());
      name = QFileInfo(full).fileName();
    }
    mDelegate->panelUserEnteredFilename(this, name);
  }

 private:
  Quirel_Action* mDelegate;
};

// The first setting a scan cannot do without that `parameters` lacks; empty
// when none is missing (or there are no parameters at all: the defaults).
// A missing number would read as 0, which is no resolution or paper size.
QString MissingSetting(const QVariantMap& parameters) {
  if (parameters.isEmpty()) return QString();
  const auto yes = [&](const char* key) {
    const QVariant v = parameters.value(QLatin1String(key));
    return v.typeId() == QMetaType::Bool ? v.toBool() : v.toString() == QLatin1String("YES");
  };
  QStringList keys{"ScanType", "Resolution", "PaperWidth", "FormatType"};
  if (!yes("AutoLength")) keys << "PaperHeight";
  if (!yes("FullPage")) keys << "ScanWidth" << "ScanHeight";
  for (const QString& key : keys)
    if (!parameters.contains(key)) return key;
  return QString();
}

}  // namespace

Quirel_Action::Quirel_Action(const quirel::amhost::AMBundle& bundle, const QVariantMap& parameters)
    : AMBundleAction(bundle, parameters) {}

Quirel_Action::~Quirel_Action() = default;

QWidget* Quirel_Action::loadView() {
  auto* view = new QWidget;
  Ui::ActionView form;
  form.setupUi(view);
  scanController = std::make_unique<Quirel_ScanController_Action>();
  scanController->setAmAction(this);
  scanController->bindActionOutlets(view);
  return view;
}

void Quirel_Action::opened() {
  isOpen = true;
  scanController->setupUi();
  QVariantMap params = parameters();
  params.remove(QStringLiteral("temporary items path"));
  scanController->updateFromParameters(params);
}

void Quirel_Action::updateParameters() {
  if (!scanController) return;
  QVariantMap params = parameters();
  scanController->updateParameters(&params);
  setParameters(params);
}

QString Quirel_Action::description() const {
  const QString controllerText = scanController ? scanController->description() : QStringLiteral("(null)");
  return QString::asprintf("action (%lx): ", (unsigned long)(uintptr_t)this) + controllerText;
}

void Quirel_Action::fail(QVariantMap* errorInfo, const QString& message) {
  if (errorInfo) *errorInfo = quirel::amhost::AMErrorInfo(message);
}

QString Quirel_Action::runWithInput(const QString& input, AMBundleAction*, QVariantMap* errorInfo) {
  QVariantMap error;
  bool scanned = false;
  [&] {
    // The view and its set-up.
    if (!scanController) {
      performOnMainThreadAndWait([this] {
        view();
        opened();
      });
    }
    // The application bundle.
    if (scanController->bundle().isEmpty()) {
      fail(&error,
           "Quirel application bundle not found. (The Quirel action must remain inside the application bundle; it "
           "cannot run if installed anywhere else.)");
      return;
    }
    // Where the path comes from.
    bool ask = input.isEmpty();
    const bool inputIsDir = !ask && QFileInfo(input).isDir();

    // The settings of this run. The scan job scans with the controller's
    // settings, so parameters read for an action that was never opened go
    // into them too.
    settings = nullptr;
    QVariantMap stored = parameters();
    stored.remove(QStringLiteral("temporary items path"));
    if (const QString missing = MissingSetting(stored); !missing.isEmpty()) {
      fail(&error, QStringLiteral("Scan settings not valid. The setting %1 is missing from the parameters.").arg(missing));
      return;
    }
    QString unshown;
    performOnMainThreadAndWait([this, &unshown] {
      if (isOpen) {
        if (scanController->checkSettings()) settings = &scanController->settings();
        unshown = scanController->takeUnshownAlert();
      } else {
        Quirel_Settings& s = scanController->settings();
        s.readFromDictionary(parameters());
        s.mScanController = scanController.get();
        settings = &s;
      }
    });
    if (!settings) {
      // Without a display the alert's text goes with the error.
      fail(&error, unshown.isEmpty() ? QStringLiteral("Scan settings not valid.")
                                     : QStringLiteral("Scan settings not valid. ") + unshown.trimmed());
      return;
    }
    Quirel_Settings& s = *settings;

    // The path.
    bool chosenByUser = false;
    if ((ask || inputIsDir) && !userCanAnswer()) {
      fail(&error, (ask ? QStringLiteral("No output file was given")
                        : QStringLiteral("The input %1 is a folder").arg(input)) +
                       QStringLiteral(", and there is no display for the save panel that would ask for the file. "
                                      "Give the output file's path as the input."));
      return;
    }
    if (ask || inputIsDir) {
      const QString start = inputIsDir ? input : QString();
      performOnMainThreadAndWait([this, start] { getPathFromUser(start); });
      chosenByUser = true;
    } else {
      filePath = input;
    }
    if (!filePath) {
      fail(&error, "User cancelled save.");
      return;
    }

    // The extension the format needs.
    // The name the engine writes, by the one rule ("Report.PDF" is kept).
    const QString path = Quirel_Settings::CompleteOutputPath(*filePath, s.mFileType);
    filePath = path;

    // An existing file given as input is kept when the options say so.
    const bool exists = QFileInfo::exists(path);
    if (exists && !chosenByUser && s.mFileAction == 3) {
      fail(&error, QStringLiteral("File exists (& options are set to prevent this): %1.").arg(path));
      return;
    }

    // The scan.
    s.setFilePath(path, exists && s.mFileAction == 2);
    if (mStopRequested) {
      fail(&error, "Stopped before the scan began; no page scanned.");
      return;
    }
    // Without a display nobody would see the preview window.
    const bool preview = s.mPreview && userCanAnswer();
    if (preview) performOnMainThreadAndWait([this] { scanController->showPreview(); });
    scanController->clearErrinfo();
    scanned = true;
    scanController->scanJob()->startScan();
    // A stop asked for while the scan was starting (which clears the
    // engine's stop request) still stops it.
    if (mStopRequested) scanController->scanJob()->stopScan();
    scanController->scanJob()->waitForScanEnd();

    // The result.
    if (const std::optional<QVariantMap> e = scanController->errinfo()) {
      error = *e;
    } else if (scanController->finishedScans() == 0) {
      // A scan whose end was never reported did not succeed.
      fail(&error, "The scan ended without reporting its result.");
    }
    if (preview) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      performOnMainThreadAndWait([this] { scanController->closePreview(); });
    }
  }();

  mLastRunStopped = mStopRequested || (scanned && scanController->lastScanStatus() == ZuzuvovOvav::kScanStoppedEarly);
  mLastRunPages = scanned ? scanController->lastScanPages() : 0;
  mLastRunStatus = scanned && scanController->finishedScans() > 0 ? scanController->lastScanStatus() : -1;
  mStopRequested = false;
  // The error, and the path in any case.
  if (!error.isEmpty()) {
    Log("quirel action error: %s", quirel::amhost::AMErrorMessage(error).toUtf8().constData());
    if (errorInfo) *errorInfo = error;
  }
  return filePath.value_or(QString());
}

void Quirel_Action::stopAction() {
  mStopRequested = true;
  if (scanController) scanController->scanJob()->stopScan();
}

void Quirel_Action::getPathFromUser(const QString& directory) {
  ActionSavePanel panel(this);
  scanController->configureSavePanel(&panel);
  if (!directory.isEmpty()) panel.setDirectory(directory);
  mPanel = &panel;
  const int result = panel.exec();
  mPanel = nullptr;
  if (result == 0) filePath.reset();
}

void Quirel_Action::panelUserEnteredFilename(QFileDialog* panel, const QString& name) {
  const QString dir = panel->directory().absolutePath();
  // The name as the engine will write it, by the one rule.
  const QString path = Quirel_Settings::CompleteOutputPath(QStringLiteral("%1/%2").arg(dir, name),
                                                           scanController->settings().mFileType);
  filePath = path;

  if (!QFileInfo::exists(path)) {
    static_cast<QDialog*>(panel)->done(1);
    return;
  }

  auto* alert = new QMessageBox(panel);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setWindowTitle("Quirel");
  alert->setIcon(QMessageBox::Warning);
  alert->setText(QString(QChar(0x201C)) + name + QChar(0x201D) +
                 " already exists. Do you want to replace it, or append to it, or stop?");
  alert->setInformativeText(QStringLiteral("A file with the same name already exists in the folder %1. You may replace "
                                           "the file, or append new pages to the end of it, or stop this action.")
                                .arg(QFileInfo(dir).fileName()));
  QPushButton* replace = alert->addButton("Replace", QMessageBox::AcceptRole);
  QPushButton* append = alert->addButton("Append", QMessageBox::AcceptRole);
  QPushButton* stop = alert->addButton("Stop", QMessageBox::RejectRole);
  replace->setObjectName("replaceBtn");
  append->setObjectName("appendBtn");
  stop->setObjectName("stopBtn");
  const int action = scanController->settings().mFileAction;
  alert->setDefaultButton(action == 1 ? replace : action == 2 ? append : stop);
  alert->setEscapeButton(stop);
  connect(alert, &QMessageBox::finished, this, [this, alert, replace, append] {
    QAbstractButton* clicked = alert->clickedButton();
    appendConfirmDidEnd(clicked == replace ? kReplaceReturn : clicked == append ? kAppendReturn : kStopReturn);
  });
  mSheet = alert;
  alert->open();
}

void Quirel_Action::appendConfirmDidEnd(int returnCode) {
  if (mSheet) mSheet->hide();
  Quirel_Settings& s = scanController->settings();
  if (returnCode == kReplaceReturn) {
    s.mFileAction = 1;
  } else if (returnCode == kAppendReturn) {
    s.mFileAction = 2;
  } else {
    filePath.reset();
    s.mFileAction = 3;
  }
  if (mPanel) static_cast<QDialog*>(mPanel.data())->done(1);
}
