// The workflow action's scan settings controller.
#include "Quirel_ScanController_Action.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>
#include <utility>

#include "AMBundle.h"
#include "AMBundleAction.h"
#include "FrontendLog.h"
#include "ScanStatus.h"
#include "Quirel_Action.h"
#include "ScanPreviewControl.h"

using quirel::frontend::Log;

namespace {

const char* const kAppIdentifiers[] = {"com.brannoch.quirel", "com.brannoch.quirel-he"};

// The preview window: the preview view in a scroll area above the Stop
// button; a child of the settings view shown as a window of its own.
QWidget* MakePreviewWindow(QWidget* view) {
  auto* window = new QWidget(view, Qt::Window);
  window->setObjectName("previewWdw");
  window->setWindowTitle("Quirel");
  window->resize(380, 620);
  auto* layout = new QVBoxLayout(window);
  auto* scroll = new QScrollArea(window);
  scroll->setObjectName("previewScrollVw");
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidgetResizable(false);
  auto* preview = new ScanPreviewControl;
  preview->setObjectName("imageVw");
  preview->resize(340, 560);
  scroll->setWidget(preview);
  layout->addWidget(scroll, 1);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  auto* stop = new QPushButton("Stop", window);
  stop->setObjectName("stopBtn");
  row->addWidget(stop);
  layout->addLayout(row);
  return window;
}

}  // namespace

Quirel_ScanController_Action::Quirel_ScanController_Action(QObject* parent) : Quirel_ScanController_Base(parent) {}

Quirel_ScanController_Action::~Quirel_ScanController_Action() = default;

void Quirel_ScanController_Action::bindActionOutlets(QWidget* view) {
  previewWdw = MakePreviewWindow(view);
  bindOutlets(view);
  fileActionBtns = view->findChild<QButtonGroup*>("fileActionBtns");
  showPreviewCbx = view->findChild<QCheckBox*>("showPreviewCbx");
  if (fileActionBtns)
    connect(fileActionBtns, &QButtonGroup::buttonClicked, this, &Quirel_ScanController_Action::doScanAction);
  if (showPreviewCbx) connect(showPreviewCbx, &QAbstractButton::clicked, this, &Quirel_ScanController_Action::doShowPreview);
}

QString Quirel_ScanController_Action::bundle() const {
  std::call_once(mBundleOnce, [this] {
    if (!amAction) return;
    const QString path = amAction->bundle().path + QLatin1String("/../../../..");
    const std::optional<quirel::amhost::AMBundle> app = quirel::amhost::AMBundle::open(path);
    if (!app) return;
    for (const char* id : kAppIdentifiers)
      if (app->identifier == QLatin1String(id)) mBundle = app->path;
  });
  return mBundle;
}

void Quirel_ScanController_Action::applySettings() {
  Quirel_ScanController_Base::applySettings();
  if (fileActionBtns)
    for (QAbstractButton* b : fileActionBtns->buttons())
      if (b->property("tag").toInt() == settings().mFileAction) b->setChecked(true);
  if (showPreviewCbx) showPreviewCbx->setChecked(settings().mPreview);
}

bool Quirel_ScanController_Action::parseSettings() {
  const bool valid = Quirel_ScanController_Base::parseSettings();
  if (fileActionBtns && fileActionBtns->checkedButton())
    settings().mFileAction = fileActionBtns->checkedButton()->property("tag").toInt();
  if (showPreviewCbx) settings().mPreview = showPreviewCbx->isChecked();
  return valid;
}

void Quirel_ScanController_Action::doScanAction() { parseSettings(); }

void Quirel_ScanController_Action::doShowPreview() { parseSettings(); }

void Quirel_ScanController_Action::showPreview() {
  if (!previewWdw) return;
  previewWdw->show();
  previewWdw->raise();
  previewWdw->activateWindow();
  updatePreviewSize();
  if (stopBtn) stopBtn->setEnabled(!settings().mFlatbed);
}

void Quirel_ScanController_Action::closePreview() {
  if (imageVw) imageVw->clearImage();
  if (previewWdw) previewWdw->hide();
}

void Quirel_ScanController_Action::scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) {
  Quirel_ScanController_Base::scanFinished(status, crashed, msg, err);
  std::lock_guard<std::mutex> lock(mErrLock);
  ++mFinishedScans;
  mLastStatus = crashed ? -1 : status;
  mErrinfo.reset();
  // A scan that ended through a crash failed whatever its status says.
  if (!crashed && (status == ZuzuvovOvav::kScanOK || status == ZuzuvovOvav::kScanStoppedEarly)) return;
  mErrinfo = quirel::amhost::AMErrorInfo(QString::asprintf("%d: ", int(status)) + err);
  Log("error from scan task: %s", err.toUtf8().constData());
}

void Quirel_ScanController_Action::doErrorPanel(const QString& text) {
  if (amAction && !amAction->userCanAnswer()) {
    mUnshownAlert = text;
    return;
  }
  Quirel_ScanController_Base::doErrorPanel(text);
}

QString Quirel_ScanController_Action::takeUnshownAlert() { return std::exchange(mUnshownAlert, QString()); }

std::optional<QVariantMap> Quirel_ScanController_Action::errinfo() const {
  std::lock_guard<std::mutex> lock(mErrLock);
  return mErrinfo;
}

void Quirel_ScanController_Action::clearErrinfo() {
  std::lock_guard<std::mutex> lock(mErrLock);
  mErrinfo.reset();
  mFinishedScans = 0;
}

int Quirel_ScanController_Action::finishedScans() const {
  std::lock_guard<std::mutex> lock(mErrLock);
  return mFinishedScans;
}

int32_t Quirel_ScanController_Action::lastScanStatus() const {
  std::lock_guard<std::mutex> lock(mErrLock);
  return mLastStatus;
}
