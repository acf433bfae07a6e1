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
#include <QScreen>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendLog.h"
#include "ScanPreviewControl.h"
#include "ScanStatus.h"

using quirel::frontend::HelperApp;
using quirel::frontend::Quirel_Settings;
using quirel::frontend::Log;
using ZuzuvovOvav::kScanDiskFull;
using ZuzuvovOvav::kScanOK;
using ZuzuvovOvav::kScanPageDiscarded;
using ZuzuvovOvav::kScanSizeLimit;
using ZuzuvovOvav::kScanStoppedEarly;

namespace {

// The actions of the menu items that belong to the controller.
const char* const kControllerActions[] = {"doScan",        "doRescan", "doAppend",       "doShowCommand",
                                          "doPutCommandOnClipboard", "terminate", "installCmdLine", "startEMail"};

// 0 when a new file may take the place of what is at `path` (nothing, a
// file we could write, a link), else the errno that says why not: the
// scan replaces it only once its first page is in, and must not find out
// only then.
int ReplaceError(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::lstat(name.constData(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (S_ISREG(st.st_mode) && ::faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) != 0) return errno;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return EINVAL;
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  if (::access(folder.constData(), W_OK | X_OK) != 0) return errno;
  return 0;
}

// Options of the command-line tool: a sentence that gives them is advice for
// a shell, not for the window.
const QRegularExpression kToolOption(
    "(^|[\\s(])--(enumerate|capabilities|adf|flatbed|mono|gray|rgb|bits|resolution|turbo|paper-|auto-length|duplex|"
    "skip-|rotate-|left|width|top|height|double-feed|dtc|threshold|despeckle|black|white|density|tiff|pdf|compress|"
    "preview|append|location|pages-per-file|no-jpeg|help)");

// The tool's message in the window's words: its "quirel: " prefix gone, its
// advice for the command line said as the window offers it, or left out.
QString WindowWords(QString text) {
  const std::pair<const char*, const char*> remedies[] = {
      {" Leave out --append to make a new file.", " Click Scan… to make a new file."},
      {" Append with --tiff, or choose a PDF file.", " Choose TIFF as the file format, or choose a PDF file."},
      {" Append with --pdf, or choose a TIFF file.", " Choose PDF as the file format, or choose a TIFF file."},
      {"; quirel --enumerate lists the scanners found.", "; its name shows at the top of the window once it is found."},
      {"scan them with --append", "click “Scan More”"},
      {"scan it with --append", "click “Scan More”"},
  };
  for (const auto& [tool, window] : remedies) text.replace(QString::fromUtf8(tool), QString::fromUtf8(window));
  QStringList lines;
  for (QString line : text.split('\n')) {
    if (line.startsWith("quirel: ")) line = line.mid(8);
    if (!line.isEmpty()) line[0] = line[0].toUpper();
    QStringList kept;
    for (const QString& sentence : line.split(QRegularExpression("(?<=[.?!])\\s+")))
      if (!sentence.contains(kToolOption)) kept << sentence;
    if (!kept.isEmpty()) lines << kept.join(' ');
  }
  return lines.join('\n').trimmed();
}

// `text` with places to break a line in words too long for a line (a long
// file name): a zero-width space after each '/', '_', '.' and '-' in them,
// and after every 24 characters without one. Whether any was added.
bool Breakable(QString* text) {
  constexpr int kLongWord = 48;
  QStringList words = text->split(' ');
  bool added = false;
  for (QString& word : words) {
    if (word.size() <= kLongWord) continue;
    QString broken;
    int run = 0;
    for (QChar c : word) {
      broken += c;
      ++run;
      if (QStringLiteral("/_.-").contains(c) || run == 24) {
        broken += QChar(0x200B);
        run = 0;
      }
    }
    word = broken;
    added = true;
  }
  if (added) *text = words.join(' ');
  return added;
}

QString Pages(int n) { return n == 1 ? QString("1 page") : QString("%1 pages").arg(n); }

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
    // Not modal to the system: the scan window stays closable (which quits)
    // while it shows; showDoneSheet() keeps the window from taking input.
    doneWdw->setWindowModality(Qt::NonModal);
    auto* quit = new QAction(doneWdw);
    quit->setObjectName("doneQuit");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));  // as the File menu's Quit
    doneWdw->addAction(quit);
    connect(quit, &QAction::triggered, this, &Quirel_ScanController_App::terminate);
    if (doneMoreBtn) connect(doneMoreBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doScanMore);
    if (noMoreBtn) connect(noMoreBtn, &QPushButton::clicked, this, &Quirel_ScanController_App::doNoMore);
    if (doneAppPop) connect(doneAppPop, &QComboBox::activated, this, &Quirel_ScanController_App::doOpenWithApp);
    connect(doneWdw, &QDialog::finished, this, &Quirel_ScanController_App::scanMoreDidEnd);
  }

  // The settings scroll when the window is too short for them, never
  // sideways: their area keeps the width they need (eventFilter).
  if (auto* area = scanWdw->findChild<QScrollArea*>("settingsScrollVw"); area && area->widget()) {
    area->widget()->installEventFilter(this);
    fitSettingsArea();
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
    // The form's size, or the screen's where that is smaller (a 1024 x 600
    // netbook): everything in the window can be reached at any size down to
    // its minimum.
    if (const QScreen* screen = scanWdw->screen()) {
      const QSize room = screen->availableGeometry().size();
      scanWdw->resize(scanWdw->size().boundedTo(room).expandedTo(scanWdw->minimumSizeHint()));
    }
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
  // The window keeps, shows, opens and appends to the name the scan writes.
  const QString written = Quirel_Settings::CompleteOutputPath(path, settings().mFileType);
  if (contextInfo == 1) {
    // The panel asked about the name chosen, not about the one written.
    if (written != path && QFileInfo::exists(written))
      askToReplace(written, [this, written] { scanReplacing(written); });
    else
      scanReplacing(written);
    return;
  }
  settings().setFilePath(written, false);
  if (contextInfo == 3) performCommandToClipboard();
  if (contextInfo == 2) performShowCommand();
  setButtonsEnabled();
}

void Quirel_ScanController_App::performShowCommand() {
  // Lines a shell reads as one command, broken between arguments only.
  sheetAlert(settings().getCommandLines(56), QString(), "OK")->setObjectName("commandAlert");
}

void Quirel_ScanController_App::performCommandToClipboard() {
  QGuiApplication::clipboard()->setText(settings().getCommandString());
}

// ---------------------------------------------------------------------------
// Rescan

void Quirel_ScanController_App::doRescan() {
  if (isScanning || !parseSettings()) return;
  if (settings().filePath().isEmpty()) return;
  // The file this scan writes: the format's extension, named by the rule.
  Quirel_Settings target = settings();
  target.normalizeExtension();
  const QString path = target.outputPath();
  // The old file stays until the new one has its first page: a scan that
  // fails leaves it whole.
  if (!QFileInfo::exists(path))
    scanReplacing(path);
  else
    askToReplace(path, [this, path] { scanReplacing(path); });
}

void Quirel_ScanController_App::askToReplace(const QString& path, std::function<void()> replace) {
  auto* alert = new QMessageBox(scanWdw);
  alert->setObjectName("rescanAlert");
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->setText(QString("Are you sure you want to replace the file: %1?").arg(QFileInfo(path).fileName()));
  QPushButton* replaceBtn = alert->addButton("Replace", QMessageBox::AcceptRole);
  QPushButton* cancel = alert->addButton("Cancel", QMessageBox::RejectRole);
  alert->setDefaultButton(replaceBtn);
  alert->setEscapeButton(cancel);
  connect(alert, &QMessageBox::finished, this, [alert, replaceBtn, replace] {
    if (alert->clickedButton() == replaceBtn) replace();
  });
  alert->open();
}

void Quirel_ScanController_App::scanReplacing(const QString& path) {
  if (const int err = ReplaceError(path)) {
    sheetAlert(QString("“%1” couldn’t be replaced.").arg(QFileInfo(path).fileName()),
               QString("%1. Nothing was scanned; the file is as it was.").arg(QString::fromLocal8Bit(std::strerror(err))),
               "OK")
        ->setObjectName("replaceFailedAlert");
    return;
  }
  settings().setFilePath(path, false);
  startScan();
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
  // Extensions in any letter case, as the scan reads them ("Report.PDF").
  panel->setNameFilter(pdf ? "PDF (*.pdf *.PDF *.Pdf)" : "TIFF (*.tif *.tiff *.TIF *.TIFF *.Tif *.Tiff)");
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
  settings().setFilePath(Quirel_Settings::CompleteOutputPath(path, settings().mFileType), true);
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
  mScanSettings = settings();
  mFileWasThere = QFileInfo::exists(settings().filePath());
  scanJob()->startScan();
}

QString Quirel_ScanController_App::fileOutcome() const {
  const QString name = QString("“%1”").arg(QFileInfo(mScanSettings.filePath()).fileName());
  const int pages = lastScanPages();
  if (!QFileInfo::exists(mScanSettings.filePath())) return "No file was written.";
  if (mScanSettings.appending()) {
    if (pages > 0) return QString("%1 %2 added to %3.").arg(Pages(pages), pages == 1 ? "was" : "were", name);
    if (pages == 0) return QString("Nothing was added to %1; it is as it was.").arg(name);
    return QString("The pages scanned before the problem were added to %1.").arg(name);
  }
  if (pages > 0) return QString("%1 %2 in %3.").arg(Pages(pages), pages == 1 ? "is" : "are", name);
  // The scan replaces a file only once its first page is in.
  if (pages == 0 && mFileWasThere) return QString("%1 was not replaced; it is as it was.").arg(name);
  if (pages == 0) return "No file was written.";
  return QString("The pages scanned before the problem are in %1.").arg(name);
}

void Quirel_ScanController_App::scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) {
  Quirel_ScanController_Base::scanFinished(status, crashed, msg, err);
  if (scanWdw) scanWdw->repaint();
  const int c = crashed ? -1 : status;
  QString text = crashed ? QString("The scanning process has crashed.") : (c == kScanOK || c == kScanStoppedEarly) ? msg : WindowWords(err);
  isScanning = false;
  setButtonsEnabled();
  if (c == kScanOK || c == kScanStoppedEarly) {
    const QStringList pieces = text.split('\n');
    if (pieces.size() >= 3) text = pieces.last();
  }
  // The strip shows the pages in the file: previews of sides the scan
  // dropped (the first or last page skipped) go.
  const int pages = lastScanPages();
  if (imageVw && pages >= 0 && imageVw->pageCount() > pages) {
    const int first = mScanSettings.skipFirst() ? 1 : 0;
    imageVw->keepPages(first, std::min(pages, imageVw->pageCount() - first));
  }
  applySettings();

  if (quitAfterScan) {
    terminate();
    return;
  }

  // A scan that ended before its first page has nothing to open or add to.
  const bool nothing = (c == kScanOK || c == kScanStoppedEarly) && pages == 0;
  if ((c == kScanOK || c == kScanPageDiscarded || c == kScanStoppedEarly) && !nothing) {
    const bool flatbed = mScanSettings.mFlatbed;
    if (doneMessageTxt) {
      // A long file name wraps within the sheet. The breaks are invisible
      // but would be copied with the name, so such a text is not selectable.
      const bool broken = Breakable(&text);
      doneMessageTxt->setTextInteractionFlags(broken ? Qt::NoTextInteraction : Qt::TextSelectableByMouse);
      doneMessageTxt->setText(text);
    }
    if (doneAppPop) {
      while (doneAppPop->count() > 2) doneAppPop->removeItem(2);
      for (const HelperApp& app : curApps) doneAppPop->addItem(app.displayName);
    }
    QString info =
        c == kScanPageDiscarded
            ? QString("To continue scanning this job, clear the feed problem, place unscanned pages back on the "
                      "feeder and click “Scan More”.")
        : flatbed
            ? QString("To scan more pages to the same file with the same settings, just place the next page on the "
                      "flatbed and click “Scan More”.")
            : QString("To scan more pages to the same file with the same settings, just place pages on the feeder "
                      "and click “Scan More”.");
    if (c == kScanStoppedEarly) info = QString("%1 (The last pages passed through the scanner were not scanned).").arg(info);
    // The scanner's text says what went wrong, not what the file holds.
    if (c == kScanPageDiscarded) info = fileOutcome() + " " + info;
    if (doneInfoTxt) doneInfoTxt->setText(info);
    saveArgsAsDefaults(mScanSettings);

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
    // Without a file there is nothing to open.
    const bool openable = QFileInfo::exists(mScanSettings.filePath());
    if (!openable) curAppIdx = -1;
    if (doneAppPop) {
      doneAppPop->setEnabled(openable);
      doneAppPop->setCurrentIndex(curAppIdx == -1 ? 0 : curAppIdx + 2);
    }
    if (noMoreBtn) noMoreBtn->setText(curAppIdx == -1 ? "Done" : "Open");
    showDoneSheet();
    return;
  }

  if (nothing) text = c == kScanStoppedEarly ? QString("The scan was stopped before a page was scanned.") : text;
  QStringList info;
  if (c == -1) info << "The output file has probably been corrupted, or may not have been created at all.";
  if (c == kScanSizeLimit) info << "The scanned file does not contain images of all pages that passed through the scanner.";
  if (c != -1) info << fileOutcome();
  // Pages are in the file: the rest can be added to it.
  const bool inFile = pages != 0 && QFileInfo::exists(mScanSettings.filePath());
  if (inFile && c == kScanSizeLimit) info << "Scan the remaining pages into a new file.";
  else if (inFile && c == kScanDiskFull) info << "Make room on the disk, then click Append… to add the remaining pages.";
  else if (inFile && c != -1 && !nothing) info << "Correct the problem, then click Append… to add the remaining pages.";
  sheetAlert(text, info.join(' '), "Done")->setObjectName("scanFailedAlert");
}

void Quirel_ScanController_App::showDoneSheet() {
  if (!doneWdw) return;
  // As a sheet would: the scan window takes no input while it shows; its
  // close box and Quit still end the application.
  if (scanWdw && scanWdw->centralWidget()) scanWdw->centralWidget()->setEnabled(false);
  // show(), not open(), which would make it modal to the window.
  doneWdw->show();
  doneWdw->raise();
  doneWdw->activateWindow();
  validateAllMenuItems();
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
  if (scanWdw && scanWdw->centralWidget()) scanWdw->centralWidget()->setEnabled(true);
  validateAllMenuItems();
  if (returnCode == kScanMore) {
    // More pages into the same file with the same settings: those the
    // last scan started with.
    if (!scannerInfo()) {
      sheetAlert("No scanner is attached.",
                 QString("Connect the scanner, then click Append… to add pages to “%1”.")
                     .arg(QFileInfo(mScanSettings.filePath()).fileName()),
                 "OK")
          ->setObjectName("noScannerAlert");
      return;
    }
    settings() = mScanSettings;
    settings().setAppending(QFileInfo::exists(settings().filePath()));
    startScan();
    return;
  }
  // Closed by its close box or Escape: done, nothing opened, the remembered
  // application left as it is.
  if (returnCode != kNoMore) {
    userAcknowledgedScanEnd();
    return;
  }
  const HelperApp* app = curAppIdx >= 0 && size_t(curAppIdx) < curApps.size() ? &curApps[size_t(curAppIdx)] : nullptr;
  settings().updateOpenWithApp(app, currentType());
  if (app) {
    QString error;
    if (!app->openFile(mScanSettings.filePath(), &error)) {
      Log("cannot open %s: %s", qPrintable(mScanSettings.filePath()), qPrintable(error));
      sheetAlert(QString("“%1” couldn’t be opened with %2.").arg(QFileInfo(mScanSettings.filePath()).fileName(), app->displayName),
                 error, "OK")
          ->setObjectName("openFailedAlert");
    }
  }
  userAcknowledgedScanEnd();
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
  // One goes before the other comes: both at once would widen the window's
  // minimum, and the window with it, for good.
  QWidget* going = isScanning ? static_cast<QWidget*>(scanBtn) : stopBtn;
  QWidget* coming = isScanning ? static_cast<QWidget*>(stopBtn) : scanBtn;
  if (going) going->setVisible(false);
  if (coming) coming->setVisible(true);
  // The settings of a scan are fixed when it starts.
  if (QWidget* panel = scanWdw ? scanWdw->findChild<QWidget*>("settingsPanel") : nullptr) panel->setEnabled(!isScanning);
  validateAllMenuItems();
}

void Quirel_ScanController_App::applySettings() {
  Quirel_ScanController_Base::applySettings();
  setButtonsEnabled();
}

bool Quirel_ScanController_App::validateMenuItem(QAction* item) {
  if (isScanning) return false;
  // While the done sheet shows, only Quit.
  if (doneWdw && doneWdw->isVisible() && item->objectName() != "terminate") return false;
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

void Quirel_ScanController_App::fitSettingsArea() {
  auto* area = scanWdw ? scanWdw->findChild<QScrollArea*>("settingsScrollVw") : nullptr;
  if (!area || !area->widget()) return;
  const int width = area->widget()->minimumSizeHint().width() + area->verticalScrollBar()->sizeHint().width();
  if (area->minimumWidth() != width) area->setMinimumWidth(width);
}

bool Quirel_ScanController_App::eventFilter(QObject* watched, QEvent* event) {
  // The settings' layout changed (a label, the contrast page): their area
  // takes the width they need now.
  if (event->type() == QEvent::LayoutRequest && watched->objectName() == "settingsPanel") fitSettingsArea();
  // The type is asked first: while the window is being destroyed its
  // children's hide events pass here, and the window is no longer one.
  if (event->type() == QEvent::Close && watched == scanWdw && windowShouldClose()) windowWillClose(scanWdw);
  return Quirel_ScanController_Base::eventFilter(watched, event);
}
