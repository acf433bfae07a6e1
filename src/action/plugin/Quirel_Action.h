// The workflow action Quirel-AM: shows the scan settings view, keeps the
// settings in the action's parameters, and when the workflow runs takes an
// output path (from its input or from the user through a save panel),
// decides what to do with an existing file, scans in this process and
// returns the output path to the next step.
//
// The object lives on the GUI thread; runWithInput() runs on the host's
// worker thread and waits for the GUI thread for the save panel, the
// settings check and the preview window.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <atomic>
#include <memory>
#include <optional>

#include "AMBundleAction.h"

class Quirel_ScanController_Action;

namespace quirel::frontend {
class Quirel_Settings;
}

class Quirel_Action : public quirel::amhost::AMBundleAction {
 public:
  // Return codes of the existing-file sheet, by button.
  static constexpr int kReplaceReturn = 1000;
  static constexpr int kAppendReturn = 1001;
  static constexpr int kStopReturn = 1002;

  Quirel_Action(const quirel::amhost::AMBundle& bundle, const QVariantMap& parameters);
  ~Quirel_Action() override;

  void opened() override;
  void updateParameters() override;
  QString runWithInput(const QString& input, AMBundleAction* fromAction, QVariantMap* errorInfo) override;
  // The preview window's Stop, asked for by the host: the scan ends after
  // the sheets already in the scanner; a run that has not begun scanning
  // does not begin.
  void stopAction() override;
  bool lastRunStopped() const override { return mLastRunStopped; }
  int lastRunPages() const override { return mLastRunPages; }
  int lastRunStatus() const override { return mLastRunStatus; }
  QString description() const override;

  // GUI thread: the save panel, its delegate and the existing-file sheet.
  void getPathFromUser(const QString& directory);
  void panelUserEnteredFilename(QFileDialog* panel, const QString& name);
  void appendConfirmDidEnd(int returnCode);

 protected:
  QWidget* loadView() override;

 private:
  // The error dictionary of a failed run with `message`.
  static void fail(QVariantMap* errorInfo, const QString& message);

  std::unique_ptr<Quirel_ScanController_Action> scanController;
  std::optional<QString> filePath;
  bool isOpen = false;
  quirel::frontend::Quirel_Settings* settings = nullptr;
  QPointer<QFileDialog> mPanel;
  QPointer<QMessageBox> mSheet;
  // Set by stopAction, cleared when the run it stopped ends.
  std::atomic<bool> mStopRequested{false};
  // What the last run did (GUI thread reads them after the run).
  bool mLastRunStopped = false;
  int mLastRunPages = 0;
  int mLastRunStatus = -1;
};
