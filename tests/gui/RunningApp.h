// The real scan window, offscreen, against virtual scanners and the real
// command-line tool in the build tree's application bundle.
//
// Each RunningApp gets its own preference folder, its own file of virtual
// scanners (QUIREL_VIRTUAL_SCANNER=@FILE, watched by the window's bus and
// read by the tool run as a child), and helpers to drive
// the window as a user would: click controls, type into fields, answer the
// save panel, read alerts and the done sheet.
#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "Quirel_ScanController_App_Pro.h"
#include "UsbLayer.h"

namespace guitest {

// Path of the application bundle of the build tree.
QString BuildBundle();

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QByteArray& value);
  ~ScopedEnv();

 private:
  QByteArray mName, mOld;
  bool mHad;
};

class RunningApp {
 public:
  // `scanners`: a virtual scanner description (empty: none attached).
  // `bundle`: the application bundle whose tool runs (default: the build
  // tree's). `config`: the preference folder (default: a new one).
  explicit RunningApp(const QString& scanners, const QString& bundle = QString(), const QString& config = QString());
  ~RunningApp();

  Quirel_ScanController_App_Pro& app() { return *mApp; }
  QMainWindow* window() { return mApp->window(); }
  template <typename T>
  T* find(const char* name) {
    T* w = window()->findChild<T*>(QString::fromLatin1(name));
    if (!w && mApp->doneSheet()) w = mApp->doneSheet()->findChild<T*>(QString::fromLatin1(name));
    return w;
  }
  QString text(const char* label);
  void click(const char* button);
  void type(const char* field, const QString& text);
  void choose(const char* comboBox, const QString& itemText);
  void trigger(const char* action);

  // Attaches other scanners while the window is open, as the virtual
  // scanner's hot-plug does: the scanners that leave the description depart
  // and the new ones arrive, for the window and for the tool alike.
  void replug(const QString& scanners);

  // Answers the save (or append) panel that is open with `path`; false when
  // none is open.
  bool answerPanel(const QString& path);
  bool panelOpen();
  // The alert that is open (null when none).
  QMessageBox* openAlert();
  // Scans into `path` through the Scan button and its save panel, and waits
  // for the end of the scan.
  bool scanInto(const QString& path, int timeoutMs = 120000);
  bool waitForScanEnd(int timeoutMs = 120000);
  QString folder() const { return mHome.path(); }
  // Lines the front end logged.
  const std::vector<std::string>& log() const { return mLog; }
  int exitCalls() const { return mExitCalls; }

 private:
  QTemporaryDir mHome;
  QString mScannerFile;
  std::unique_ptr<ScopedEnv> mConfig, mBundle, mScanners;
  std::unique_ptr<quirel::usb::UsbBus> mBus;
  std::unique_ptr<Quirel_ScanController_App_Pro> mApp;
  std::vector<std::string> mLog;
  int mExitCalls = 0;
};

// Runs a command as the administrator's rights would (the owner options
// left out when the test is not root) with `input` on its standard input;
// its exit status.
int RunGranted(const std::vector<std::string>& command, const std::string& input);

// Pages of the file as pdfinfo reports them (-1 when it cannot tell).
int PdfPages(const QString& path);
// qpdf --check passes.
bool PdfValid(const QString& path);

}  // namespace guitest
