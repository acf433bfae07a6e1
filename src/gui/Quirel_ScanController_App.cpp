// Quirel_ScanController_App: the desktop application's scan, rescan, append, show-command and scan-more flows.
#include "Quirel_ScanController_App.h"

#include <QAction>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "FrontendLog.h"
#include "ScanPreviewControl.h"

using quirel::frontend::HelperApp;
using quirel::frontend::Log;

namespace {

// The actions of the menu items that belong to the controller.
const char* const kControllerActions[] = {"doScan",        "doRescan", "doAppend",       "doShowCommand",
                                          "doPutCommandOnClipboard", "terminate", "installCmdLine", "startEMail"};

}  // namespace

Quirel_ScanController_App::Quirel_ScanController_App(QObject* parent) : Quirel_ScanController_Base(parent) {}

Quirel_ScanController_App::~Quirel_ScanController_App() {
  if (scanWdw) scanWdw->removeEventFilter(this);
}


void Quirel_ScanController_App::bindWindows(QMainWindow* scanWindow, QDialog* doneSheet) {
  scanWdw = scanWindow;
  doneWdw = doneSheet;
  bindOutlets(scanWdw);
  appendBtn = scanWdw->findChild<QPushButton*>("appendBtn");
  rescanBtn = scanWdw->findChild<QPushButton*>("rescanBtn");
  scanBtn = scanWdw->findChild<QPushButton*>("scanBtn");
  if (doneWdw) {
    doneMessageTxt = doneWdw->findChild<QLabel*>("doneMessageTxt");
    doneInfoTxt = doneWdw->findChild<QLabel*>("doneInfoTxt");
    doneAppPop = doneWdw->findChild<QComboBox*>("doneAppPop");
    doneMoreBtn = doneWdw->findChild<QPushButton*>("doneMoreBtn");
    noMoreBtn = doneWdw->findChild<QPushButton*>("noMoreBtn");
    // The form's first item ("no application") and a separator are the
    // pop-up's two fixed items; the applications follow from index 2.
    if (doneAppPop && doneAppPop->count() < 2) doneAppPop->insertSeparator(1);
    doneWdw->setWindowModality(Qt::WindowModal);
    if (doneMoreBtn) connect(doneMoreBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doScanMore);
    if (noMoreBtn) connect(noMoreBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doNoMore);
    if (doneAppPop) connect(doneAppPop, &QComboBox::activated, this, &Quirel_ScanController_App::doOpenWithApp);
    connect(doneWdw, &QDialog::finished, this, &Quirel_ScanController_App::scanMoreDidEnd);
  }

  if (scanBtn) connect(scanBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doScan);
  if (rescanBtn) connect(rescanBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doRescan);
  if (appendBtn) connect(appendBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doAppend);

  auto wire = [this](const char* name, void (Quirel_ScanController_App::*action)()) {
    if (QAction* a = scanWdw->findChild<QAction*>(name)) connect(a, &QAction::triggered, this, action);
  };
  wire("doScan", &Quirel_ScanController_App::doScan);
  wire("doRescan", &Quirel_ScanController_App::doRescan);
  wire("doAppend", &Quirel_ScanController_App::doAppend);
  wire("doShowCommand", &Quirel_ScanController_App::doShowCommand);
  wire("doPutCommandOnClipboard", &Quirel_ScanController_App::doPutCommandOnClipboard);
  wire("terminate", &Quirel_ScanController_App::terminate);
  // Menus are validated as they open, as well as whenever the state changes.
  for (QMenu* menu : scanWdw->findChildren<QMenu*>())
    connect(menu, &QMenu::aboutToShow, this, &Quirel_ScanController_App::validateAllMenuItems);
  scanWdw->installEventFilter(this);
}

void Quirel_ScanController_App::awakeFromNib() {
  setupUi();
  loadDefaultArgs();
  // The done sheet never keeps the application from quitting.
  if (doneWdw) doneWdw->setAttribute(Qt::WA_QuitOnClose, false);
  if (scanWdw) {
    scanWdw->show();
    scanWdw->raise();
    scanWdw->activateWindow();
  }
  tiffApps = getAppsForType("tif");
  pdfApps = getAppsForType("pdf");
  setButtonsEnabled();
}

// ---------------------------------------------------------------------------
// Scan, Show Command, Copy Command

void Quirel_ScanController_App::doScan() {
  currentAction = 1;
  doSavePanel();
}

void Quirel_ScanController_App::doShowCommand() {
  currentAction = 2;
  doSavePanel();
}

void Quirel_ScanController_App::doPutCommandOnClipboard() {
  currentAction = 3;
  doSavePanel();
}

void Quirel_ScanController_App::doSavePanel() {
  if (isScanning || !parseSettings()) return;
  auto* panel = new QFileDialog(scanWdw);
  panel->setObjectName("savePanel");
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setWindowModality(Qt::WindowModal);
  panel->setAcceptMode(QFileDialog::AcceptSave);
  configureSavePanel(panel);
  const QString current = settings().filePath();
  if (!current.isEmpty()) panel->setDirectory(QFileInfo(current).absolutePath());
  const qint64 context = currentAction;
  connect(panel, &QFileDialog::finished, this, [this, panel, context](int result) {
    const QStringList files = panel->selectedFiles();
    savePanelDidEnd(result == QDialog::Accepted ? 1 : 0, context, files.isEmpty() ? QString() : files.first());
  });
  panel->open();
}

void Quirel_ScanController_App::savePanelDidEnd(int returnCode, qint64 contextInfo, const QString& path) {
  if (returnCode != 1 || path.isEmpty()) return;
  settings().setFilePath(path, false);
  if (contextInfo == 1) startScan();
  if (contextInfo == 3) performCommandToClipboard();
  if (contextInfo == 2) performShowCommand();
  if (contextInfo != 1) setButtonsEnabled();
}

void Quirel_ScanController_App::performShowCommand() {
  sheetAlert(settings().getCommandString(), QString(), "OK");
}

void Quirel_ScanController_App::performCommandToClipboard() {
  QGuiApplication::clipboard()->setText(settings().getCommandString());
}

// ---------------------------------------------------------------------------
// Rescan

void Quirel_ScanController_App::doRescan() {
  if (isScanning || !parseSettings()) return;
  const QString path = settings().filePath();
  if (path.isEmpty()) return;
  if (!QFileInfo::exists(path)) {
    settings().normalizeExtension();
    settings().setAppending(false);
    startScan();
    return;
  }
  auto* alert = new QMessageBox(scanWdw);
  alert->setObjectName("rescanAlert");
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setText(QString("Are you sure you want to replace the file: %1?").arg(QFileInfo(path).fileName()));
  QPushButton* replace = alert->addButton("Replace", QMessageBox::AcceptRole);
  QPushButton* cancel = alert->addButton("Cancel", QMessageBox::RejectRole);
  alert->setDefaultButton(replace);
  alert->setEscapeButton(cancel);
  connect(alert, &QMessageBox::finished, this,
          [this, alert, replace] { rescanPanelDidEnd(alert->clickedButton() == replace); });
  alert->open();
}

void Quirel_ScanController_App::rescanPanelDidEnd(bool replace) {
  if (!replace) return;
  const QString path = settings().filePath();
  const bool removed = ::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT;
  const int err = errno;
  settings().normalizeExtension();
  settings().setAppending(false);
  if (removed) {
    startScan();
  } else {
    sheetAlert(QString("“%1” couldn’t be removed.").arg(QFileInfo(path).fileName()), QString::fromLocal8Bit(std::strerror(err)),
               "OK");
  }
}

// ---------------------------------------------------------------------------
// Append

void Quirel_ScanController_App::doAppend() {
  if (isScanning || !parseSettings()) return;
  // parseSettings() has just read the file type from the selected cell.
  const bool pdf = settings().mFileType == 2;
  const QString current = settings().filePath();
  const QString ext = QFileInfo(current).suffix().toLower();
  const bool matches = !ext.isEmpty() && (pdf ? ext == "pdf" : (ext == "tif" || ext == "tiff"));

  auto* panel = new QFileDialog(scanWdw);
  panel->setObjectName("appendPanel");
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setWindowModality(Qt::WindowModal);
  panel->setAcceptMode(QFileDialog::AcceptOpen);
  panel->setFileMode(QFileDialog::ExistingFile);
  panel->setWindowTitle("Quirel");
  panel->setNameFilter(pdf ? "PDF (*.pdf)" : "TIFF (*.tif *.tiff)");
  if (!current.isEmpty()) {
    panel->setDirectory(QFileInfo(current).absolutePath());
    if (matches) panel->selectFile(QFileInfo(current).fileName());
  }
  connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
    const QStringList files = panel->selectedFiles();
    appendPanelDidEnd(result == QDialog::Accepted ? 1 : 0, files.isEmpty() ? QString() : files.first());
  });
  panel->open();
}

void Quirel_ScanController_App::appendPanelDidEnd(int returnCode, const QString& path) {
  if (returnCode != 1 || path.isEmpty()) return;
  settings().setFilePath(path, true);
  startScan();
}

// ---------------------------------------------------------------------------
// Scanning

void Quirel_ScanController_App::startScan() {
  if (imageVw) imageVw->clearImage();
  isScanning = true;
  setButtonsEnabled();
  if (settings().mPreview) updatePreviewSize();
  curAppsArePdf = settings().mFileType == 2;
  curApps = curAppsArePdf ? pdfApps : tiffApps;
  scanJob()->startScan();
}

void Quirel_ScanController_App::scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) {
  Quirel_ScanController_Base::scanFinished(status, crashed, msg, err);
  if (scanWdw) scanWdw->repaint();
  const int c = crashed ? -1 : status;
  QString text = crashed ? QString("The scanning process has crashed.") : (c == 0 || c == 8) ? msg : err;
  isScanning = false;
  setButtonsEnabled();
  if (c == 0 || c == 8) {
    const QStringList pieces = text.split('\n');
    if (pieces.size() >= 3) text = pieces.last();
  }
  applySettings();

  if (quitAfterScan) {
    terminate();
    return;
  }

  if (c == 0 || c == 6 || c == 8) {
    if (doneMessageTxt) doneMessageTxt->setText(text);
    if (doneAppPop) {
      while (doneAppPop->count() > 2) doneAppPop->removeItem(2);
      for (const HelperApp& app : curApps) doneAppPop->addItem(app.displayName);
    }
    QString info =
        c == 6 ? QString("To continue scanning this job, clear the feed problem, place unscanned pages back on the "
                         "feeder and click “Scan More”.")
               : QString("To scan more pages to the same file with the same settings, just place pages on the feeder "
                         "and click “Scan More”.");
    if (c == 8) info = QString("%1 (The last pages passed through the scanner were not scanned).").arg(info);
    if (doneInfoTxt) doneInfoTxt->setText(info);
    saveArgsAsDefaults();

    curAppIdx = -1;
    if (std::optional<HelperApp> remembered = settings().getOpenWithAppForType(currentType())) {
      auto find = [this](auto same) {
        for (size_t i = 0; i < curApps.size(); ++i)
          if (same(curApps[i])) return int(i);
        return -1;
      };
      curAppIdx = find([&](const HelperApp& a) { return a.appPath == remembered->appPath; });
      if (curAppIdx < 0) curAppIdx = find([&](const HelperApp& a) { return a.appName == remembered->appName; });
      if (curAppIdx < 0) curAppIdx = find([&](const HelperApp& a) { return a.bundleId == remembered->bundleId; });
    }
    if (doneAppPop) doneAppPop->setCurrentIndex(curAppIdx == -1 ? 0 : curAppIdx + 2);
    if (noMoreBtn) noMoreBtn->setText(curAppIdx == -1 ? "Done" : "Open");
    if (doneWdw) doneWdw->open();
    return;
  }

  const QString info =
      c == -1   ? QString("The output file has probably been corrupted, or may not have been created at all.")
      : c == 10 ? QString("The scanned file does not contain images of all pages that passed through the scanner.")
                : QString();
  sheetAlert(text, info, "Done")->setObjectName("scanFailedAlert");
}

// ---------------------------------------------------------------------------
// Done sheet

QString Quirel_ScanController_App::currentType() const { return curAppsArePdf ? "pdf" : "tif"; }

void Quirel_ScanController_App::doOpenWithApp() {
  const int k = doneAppPop ? doneAppPop->currentIndex() : 0;
  curAppIdx = k < 2 ? -1 : k - 2;
  if (noMoreBtn) noMoreBtn->setText(k < 2 ? "Done" : "Open");
}

void Quirel_ScanController_App::doScanMore() {
  if (doneWdw) doneWdw->done(kScanMore);
}

void Quirel_ScanController_App::doNoMore() {
  if (doneWdw) doneWdw->done(kNoMore);
}

void Quirel_ScanController_App::scanMoreDidEnd(int returnCode) {
  // Escape or the window's close box end the sheet as Done would: only the
  // Scan More button scans again.
  if (returnCode != kScanMore) {
    const HelperApp* app =
        curAppIdx >= 0 && size_t(curAppIdx) < curApps.size() ? &curApps[size_t(curAppIdx)] : nullptr;
    settings().updateOpenWithApp(app, currentType());
    if (app) {
      QString error;
      if (!app->openFile(settings().filePath(), &error)) Log("cannot open %s: %s", qPrintable(settings().filePath()), qPrintable(error));
    }
    userAcknowledgedScanEnd();
    return;
  }
  settings().setAppending(QFileInfo::exists(settings().filePath()));
  startScan();
}

// ---------------------------------------------------------------------------
// Open-with list

std::vector<HelperApp> Quirel_ScanController_App::getAppsForType(const QString& type) const {
  const QString contentType = type == "pdf" ? "application/pdf" : "image/tiff";
  std::vector<HelperApp> apps;
  for (HelperApp& app : HelperApp::allForType(contentType))
    if (!app.bundleId.isEmpty() && !app.appName.isEmpty()) apps.push_back(std::move(app));
  std::stable_sort(apps.begin(), apps.end(), [](const HelperApp& a, const HelperApp& b) { return a.compare(b) < 0; });
  // Entries equal in name and version to the one before them go first
  // (from the end); then of each run of equal names only the last, the
  // highest version in plain string order, stays.
  for (size_t i = apps.size(); i-- > 1;)
    if (apps[i].appName == apps[i - 1].appName && apps[i].bundleVers == apps[i - 1].bundleVers)
      apps.erase(apps.begin() + long(i));
  std::vector<HelperApp> unique;
  for (size_t i = 0; i < apps.size(); ++i)
    if (i + 1 == apps.size() || apps[i + 1].appName != apps[i].appName) unique.push_back(apps[i]);
  for (HelperApp& app : unique) app.displayName = app.appName;
  return unique;
}

// ---------------------------------------------------------------------------
// Buttons and menus

void Quirel_ScanController_App::setButtonsEnabled() {
  const bool known = scannerInfo() != nullptr;
  if (scanBtn) scanBtn->setEnabled(!isScanning && known);
  if (appendBtn) appendBtn->setEnabled(!isScanning && known);
  if (rescanBtn) rescanBtn->setEnabled(!isScanning && known && !settings().filePath().isEmpty());
  // Stop is enabled as the scan starts (the button is hidden until then);
  // once clicked it stays disabled for the rest of that scan, also when a
  // scanner that comes or goes updates the controls.
  if (stopBtn) stopBtn->setEnabled(isScanning && !settings().mFlatbed && (stopBtn->isHidden() || stopBtn->isEnabled()));
  if (scanBtn) scanBtn->setVisible(!isScanning);
  if (stopBtn) stopBtn->setVisible(isScanning);
  validateAllMenuItems();
}

void Quirel_ScanController_App::applySettings() {
  Quirel_ScanController_Base::applySettings();
  setButtonsEnabled();
}

bool Quirel_ScanController_App::validateMenuItem(QAction* item) {
  if (isScanning) return false;
  if (item->objectName() != "doRescan") return true;
  if (!rescanPromptRead) {
    rescanPrompt = item->text();
    rescanPrompt.chop(1);
    rescanPromptRead = true;
  }
  const QString path = settings().filePath();
  if (!path.isEmpty()) item->setText(QString("%1 %2%3").arg(rescanPrompt, QFileInfo(path).fileName(), QChar(0x2026)));
  return !path.isEmpty();
}

void Quirel_ScanController_App::validateAllMenuItems() {
  if (!scanWdw) return;
  for (const char* name : kControllerActions)
    if (QAction* a = scanWdw->findChild<QAction*>(name)) a->setEnabled(validateMenuItem(a));
}

void Quirel_ScanController_App::doErrorPanel(const QString& text) { sheetAlert(text, QString(), QString()); }

QMessageBox* Quirel_ScanController_App::sheetAlert(const QString& message, const QString& info,
                                                    const QString& button) {
  auto* alert = new QMessageBox(scanWdw);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setWindowTitle("Quirel");
  alert->setText(message);
  if (!info.isEmpty()) alert->setInformativeText(info);
  if (button.isEmpty())
    alert->setStandardButtons(QMessageBox::Ok);
  else
    alert->setDefaultButton(alert->addButton(button, QMessageBox::AcceptRole));
  alert->open();
  return alert;
}

// ---------------------------------------------------------------------------
// Quitting

void Quirel_ScanController_App::terminate() {
  if (isScanning) return;
  Log("terminated normally");
  if (mExit) mExit(0);
}

void Quirel_ScanController_App::windowWillClose(QWidget* window) {
  if (window != scanWdw) return;
  if (isScanning) {
    // The scan is stopped rather than cut off: the tool finishes the pages
    // it has and closes the file, and the application ends when it has.
    quitAfterScan = true;
    doStop();
    return;
  }
  terminate();
}

bool Quirel_ScanController_App::eventFilter(QObject* watched, QEvent* event) {
  if (watched == scanWdw && event->type() == QEvent::Close && windowShouldClose()) windowWillClose(scanWdw);
  return Quirel_ScanController_Base::eventFilter(watched, event);
}
