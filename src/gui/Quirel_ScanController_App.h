// The desktop application's scan window controller: the Scan, Rescan,
// Append, Show Command and Copy Command flows with their save and open
// panels, the start and end of a scan with the done sheet or an alert, Scan
// More, the list of applications that can open the output file, the button
// and menu states, and quitting.
//
// Panels, alerts and the done sheet are window-modal dialogs on the scan
// window (they stand for sheets): they open without blocking and their
// answer arrives through the event loop.
//
// Thread-bound: the GUI thread.
#pragma once

#include <QDialog>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <vector>

#include "HelperApp.h"
#include "Quirel_ScanController_Base.h"

class QAction;
class QComboBox;
class QLabel;
class QMessageBox;
class QPushButton;

class Quirel_ScanController_App : public Quirel_ScanController_Base {
  Q_OBJECT
 public:
  // Return codes of the done sheet.
  static constexpr int kNoMore = 1000;
  static constexpr int kScanMore = 1001;

  explicit Quirel_ScanController_App(QObject* parent = nullptr);
  ~Quirel_ScanController_App() override;

  // The scan window and the done sheet, with their outlets and actions.
  void bindWindows(QMainWindow* scanWindow, QDialog* doneSheet);
  // Start-up after the windows are bound.
  virtual void awakeFromNib();

  // Actions.
  void doScan();
  void doRescan();
  void doAppend();
  void doShowCommand();
  void doPutCommandOnClipboard();
  void doOpenWithApp();
  void doScanMore();
  void doNoMore();
  void terminate();
  void windowWillClose(QWidget* window);
  // Whether a menu item of the controller is enabled now (and its title).
  bool validateMenuItem(QAction* item);

  void applySettings() override;
  void doErrorPanel(const QString& text) override;
  void scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) override;

  void startScan();
  void setButtonsEnabled();
  std::vector<quirel::frontend::HelperApp> getAppsForType(const QString& type) const;
  // Called when the user closes the done sheet without scanning more.
  virtual void userAcknowledgedScanEnd() {}

  // How the process ends (QCoreApplication::exit in the application).
  void setExitHandler(std::function<void(int)> handler) { mExit = std::move(handler); }

  bool scanning() const { return isScanning; }
  // The settings the running (or last) scan started with.
  const quirel::frontend::Quirel_Settings& scanSettings() const { return mScanSettings; }
  QMainWindow* window() const { return scanWdw; }
  QDialog* doneSheet() const { return doneWdw; }
  int chosenAppIndex() const { return curAppIdx; }
  const std::vector<quirel::frontend::HelperApp>& currentApps() const { return curApps; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

  QPushButton* appendBtn = nullptr;
  QPushButton* rescanBtn = nullptr;
  QPushButton* scanBtn = nullptr;
  // The windows may go before the controller (the subclass owns them).
  QPointer<QMainWindow> scanWdw;
  QPointer<QDialog> doneWdw;
  QLabel* doneMessageTxt = nullptr;
  QLabel* doneInfoTxt = nullptr;
  QComboBox* doneAppPop = nullptr;
  QPushButton* doneMoreBtn = nullptr;
  QPushButton* noMoreBtn = nullptr;

 private:
  void doSavePanel();
  void savePanelDidEnd(int returnCode, qint64 contextInfo, const QString& path);
  void appendPanelDidEnd(int returnCode, const QString& path);
  void scanMoreDidEnd(int returnCode);
  // Asks whether the file at `path` may be replaced; `replace` runs on Replace.
  void askToReplace(const QString& path, std::function<void()> replace);
  // Scans into `path` anew (no appending): checked first that what is there
  // can be replaced, which the scan does only once its first page is in.
  void scanReplacing(const QString& path);
  // Shows the done sheet; the scan window takes no input meanwhile, but can
  // still be closed (which quits) and Quit works.
  void showDoneSheet();
  // Keeps the settings' scroll area as wide as the settings need.
  void fitSettingsArea();
  // What the scan did to its file, in a sentence: "2 pages are in “a.pdf”.",
  // "No file was written.", ...
  QString fileOutcome() const;
  void performShowCommand();
  void performCommandToClipboard();
  // A window-modal alert on the scan window.
  QMessageBox* sheetAlert(const QString& message, const QString& info, const QString& button);
  void validateAllMenuItems();
  QString currentType() const;

  bool isScanning = false;
  // The settings a scan started with: the defaults it leaves and what Scan
  // More scans with, whatever the controls show meanwhile.
  quirel::frontend::Quirel_Settings mScanSettings;
  // A file was at the scan's path when it started.
  bool mFileWasThere = false;
  qint64 currentAction = 0;
  std::vector<quirel::frontend::HelperApp> tiffApps;
  std::vector<quirel::frontend::HelperApp> pdfApps;
  std::vector<quirel::frontend::HelperApp> curApps;
  bool curAppsArePdf = false;
  int curAppIdx = -1;
  QString rescanPrompt;
  bool rescanPromptRead = false;
  // The scan window was closed while a scan ran: the scan is being stopped
  // and the application ends when it has.
  bool quitAfterScan = false;
  std::function<void(int)> mExit;
};
