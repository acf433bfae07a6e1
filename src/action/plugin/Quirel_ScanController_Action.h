// The controller of the workflow action's settings view: the shared scan
// settings controls of the scan window controller, plus what to do when the
// output file exists (fileActionBtns, tags 1 replace, 2 append, 3 stop) and
// whether to show a preview window during the scan (showPreviewCbx); the
// preview window itself (previewWdw, holding the preview view imageVw and
// the Stop button); the enclosing application's bundle; and the error
// dictionary of the last scan (errinfo).
//
// Thread-bound: the GUI thread, except bundle(), errinfo() and
// clearErrinfo(), which the action's run calls from its worker thread.
#pragma once

#include <QPointer>
#include <QWidget>
#include <QVariantMap>
#include <mutex>
#include <optional>

#include "Quirel_ScanController_Base.h"

class QButtonGroup;
class QCheckBox;
class Quirel_Action;

class Quirel_ScanController_Action : public Quirel_ScanController_Base {
  Q_OBJECT
 public:
  explicit Quirel_ScanController_Action(QObject* parent = nullptr);
  ~Quirel_ScanController_Action() override;

  // Finds the outlets below `view` (the preview window is one of its
  // children, a window of its own) and connects the two added controls.
  void bindActionOutlets(QWidget* view);
  void setAmAction(Quirel_Action* action) { amAction = action; }

  // The application bundle four folder levels above the action's bundle,
  // when its identifier is the application's; empty otherwise. Found on the
  // first call and kept for the life of the process.
  QString bundle() const override;
  void applySettings() override;
  bool parseSettings() override;
  void doScanAction();
  void doShowPreview();
  void showPreview();
  void closePreview();
  void scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) override;
  // Shows the alert, or, when no user can answer it, keeps its text for
  // the run's error (takeUnshownAlert hands it over once).
  void doErrorPanel(const QString& text) override;
  QString takeUnshownAlert();

  using Quirel_ScanController_Base::scanJob;
  // The error of the last scan; none after a good one.
  std::optional<QVariantMap> errinfo() const;
  // Forgets the last scan's error and counts finished scans from here.
  void clearErrinfo();
  // Scans finished since the last clearErrinfo().
  int finishedScans() const;
  // The status the last scan ended with.
  int32_t lastScanStatus() const;

 private:
  QButtonGroup* fileActionBtns = nullptr;
  QCheckBox* showPreviewCbx = nullptr;
  Quirel_Action* amAction = nullptr;
  QPointer<QWidget> previewWdw;
  QString mUnshownAlert;

  mutable std::mutex mErrLock;
  std::optional<QVariantMap> mErrinfo;
  int mFinishedScans = 0;
  int32_t mLastStatus = 0;

  mutable std::once_flag mBundleOnce;
  mutable QString mBundle;
};
