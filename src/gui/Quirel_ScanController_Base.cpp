#include "Quirel_ScanController_Base.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QSlider>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QWidget>
#include <cmath>
#include <thread>

#include "AppBundle.h"
#include "OrientationImages.h"
#include "Quirel_UsbMonitor.h"
#include "ScanPreviewControl.h"

using quirel::frontend::PreviewBitmap;
using quirel::frontend::Quirel_Settings;
using quirel::frontend::ScannerInfo;

namespace {

constexpr double kMmPerInch = 25.4;
// Limits are compared in inches with this tolerance.
constexpr double kTolerance = 1.0 / 2400;

// ---- Controls by tag ----

int TagOf(const QAbstractButton* button) { return button ? button->property("tag").toInt() : 0; }

QAbstractButton* CellWithTag(QButtonGroup* group, int tag) {
  if (!group) return nullptr;
  for (QAbstractButton* b : group->buttons())
    if (TagOf(b) == tag) return b;
  return nullptr;
}

int SelectedTag(QButtonGroup* group) { return group ? TagOf(group->checkedButton()) : 0; }

void SelectCellWithTag(QButtonGroup* group, int tag) {
  if (QAbstractButton* b = CellWithTag(group, tag)) b->setChecked(true);
}

QList<int> ItemTags(const QComboBox* menu) {
  QList<int> tags;
  for (const QString& t : menu->property("itemTags").toStringList()) tags << t.toInt();
  return tags;
}

int SelectedItemTag(const QComboBox* menu) {
  if (!menu) return 0;
  const QList<int> tags = ItemTags(menu);
  const int i = menu->currentIndex();
  return i >= 0 && i < tags.size() ? tags[i] : 0;
}

void SelectItemWithTag(QComboBox* menu, int tag) {
  if (!menu) return;
  const int i = ItemTags(menu).indexOf(tag);
  if (i >= 0) menu->setCurrentIndex(i);
}

void SetItemWithTagEnabled(QComboBox* menu, int tag, bool enabled) {
  if (!menu) return;
  auto* model = qobject_cast<QStandardItemModel*>(menu->model());
  const int i = ItemTags(menu).indexOf(tag);
  if (model && i >= 0) model->item(i)->setEnabled(enabled);
}

bool IsOn(const QAbstractButton* b) { return b && b->isChecked(); }
void SetOn(QAbstractButton* b, bool on) {
  if (b) b->setChecked(on);
}
void SetEnabled(QWidget* w, bool on) {
  if (w) w->setEnabled(on);
}
void SetText(QLabel* l, const QString& t) {
  if (l) l->setText(t);
}

// ---- Numbers in text fields, in the user's locale ----

QLocale UserLocale() {
  QLocale l;
  l.setNumberOptions(QLocale::OmitGroupSeparator);
  return l;
}

QString FormatNumber(double v) {
  // Up to three decimals, without trailing zeros.
  QString s = UserLocale().toString(v, 'f', 3);
  const QChar point = UserLocale().decimalPoint().at(0);
  if (s.contains(point)) {
    while (s.endsWith('0')) s.chop(1);
    if (s.endsWith(point)) s.chop(1);
  }
  return s;
}

// Text that does not parse as a number reads as 0.
double ParseNumber(const QString& text) {
  bool ok = false;
  const double v = UserLocale().toDouble(text.trimmed(), &ok);
  return ok ? v : 0;
}

int ParseInteger(const QString& text) { return int(std::lround(ParseNumber(text))); }

void ShowNumber(QLineEdit* field, double v) {
  if (field) field->setText(FormatNumber(v));
}

}  // namespace

// ---------------------------------------------------------------------------
// Life cycle

Quirel_ScanController_Base::Quirel_ScanController_Base(QObject* parent) : QObject(parent) {
  mScanJob = quirel::frontend::MakeScanJob(this);
}

Quirel_ScanController_Base::~Quirel_ScanController_Base() {
  mUsbMonitor.reset();
  mScanJob.reset();
}

QString Quirel_ScanController_Base::bundle() const { return quirel::frontend::MainBundlePath(); }

QString Quirel_ScanController_Base::description() const {
  return QString::asprintf("controller (%lx): ", (unsigned long)(uintptr_t)this) + mSettings.description();
}

void Quirel_ScanController_Base::bindOutlets(QWidget* root) {
  auto find = [root](auto*& outlet, const char* name) {
    using T = std::remove_pointer_t<std::remove_reference_t<decltype(outlet)>>;
    outlet = root->findChild<T*>(QString::fromLatin1(name));
  };
#define QUIREL_OUTLET(name) find(name, #name)
  QUIREL_OUTLET(modelTxt);
  QUIREL_OUTLET(depthMnu);
  QUIREL_OUTLET(resolutionMnu);
  QUIREL_OUTLET(paperWidthLbl);
  QUIREL_OUTLET(paperWidthTxt);
  QUIREL_OUTLET(autoPaperLengthCbx);
  QUIREL_OUTLET(paperLengthLbl);
  QUIREL_OUTLET(paperLengthTxt);
  QUIREL_OUTLET(scanSourceBtns);
  QUIREL_OUTLET(duplexCbx);
  QUIREL_OUTLET(flipBacksCbx);
  QUIREL_OUTLET(skipFirstCbx);
  QUIREL_OUTLET(skipLastCbx);
  QUIREL_OUTLET(orientation1Btn);
  QUIREL_OUTLET(orientation2Btn);
  QUIREL_OUTLET(orientation3Btn);
  QUIREL_OUTLET(orientation4Btn);
  QUIREL_OUTLET(flipBtn);
  QUIREL_OUTLET(feedSideTxt);
  QUIREL_OUTLET(scanFullPageCbx);
  QUIREL_OUTLET(scanLeftLbl);
  QUIREL_OUTLET(scanLeftTxt);
  QUIREL_OUTLET(scanWidthLbl);
  QUIREL_OUTLET(scanWidthTxt);
  QUIREL_OUTLET(scanTopLbl);
  QUIREL_OUTLET(scanTopTxt);
  QUIREL_OUTLET(scanHeightLbl);
  QUIREL_OUTLET(scanHeightTxt);
  QUIREL_OUTLET(doubleThicknessCbx);
  QUIREL_OUTLET(doubleLengthCbx);
  QUIREL_OUTLET(thresholdMtx);
  QUIREL_OUTLET(thresholdTxt);
  QUIREL_OUTLET(blackPointTxt);
  QUIREL_OUTLET(whitePointTxt);
  QUIREL_OUTLET(densitySld);
  QUIREL_OUTLET(fileFormatBtns);
  QUIREL_OUTLET(contrastTab);
  QUIREL_OUTLET(pwUnitLbl);
  QUIREL_OUTLET(phUnitLbl);
  QUIREL_OUTLET(slUnitLbl);
  QUIREL_OUTLET(swUnitLbl);
  QUIREL_OUTLET(stUnitLbl);
  QUIREL_OUTLET(shUnitLbl);
  QUIREL_OUTLET(imageVw);
  QUIREL_OUTLET(stopBtn);
#undef QUIREL_OUTLET

  // Actions follow the user's clicks only; setting a control from the
  // settings must not run them again.
  auto onClick = [this](QAbstractButton* b, void (Quirel_ScanController_Base::*action)()) {
    if (b) connect(b, &QAbstractButton::clicked, this, action);
  };
  if (depthMnu) connect(depthMnu, &QComboBox::activated, this, &Quirel_ScanController_Base::doDepth);
  if (resolutionMnu) connect(resolutionMnu, &QComboBox::activated, this, &Quirel_ScanController_Base::doResolution);
  onClick(autoPaperLengthCbx, &Quirel_ScanController_Base::doDetectPaperLen);
  if (scanSourceBtns)
    connect(scanSourceBtns, &QButtonGroup::buttonClicked, this, &Quirel_ScanController_Base::doScanSource);
  for (QAbstractButton* b : {orientation1Btn, orientation2Btn, orientation3Btn, orientation4Btn})
    if (b) connect(b, &QAbstractButton::clicked, this, [this, b] { doOrientation(b); });
  onClick(flipBtn, &Quirel_ScanController_Base::doFlip);
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{duplexCbx, flipBacksCbx, skipFirstCbx, skipLastCbx})
    if (b) connect(b, &QAbstractButton::clicked, this, [this, b] { doDuplex(b); });
  onClick(scanFullPageCbx, &Quirel_ScanController_Base::doFullPage);
  onClick(doubleThicknessCbx, &Quirel_ScanController_Base::doDouble);
  onClick(doubleLengthCbx, &Quirel_ScanController_Base::doDouble);
  if (thresholdMtx)
    connect(thresholdMtx, &QButtonGroup::buttonClicked, this, &Quirel_ScanController_Base::doThresholdMtx);
  if (fileFormatBtns)
    connect(fileFormatBtns, &QButtonGroup::buttonClicked, this, &Quirel_ScanController_Base::doFileType);
  if (densitySld) connect(densitySld, &QSlider::sliderReleased, this, &Quirel_ScanController_Base::doDensity);
  onClick(stopBtn, &Quirel_ScanController_Base::doStop);
  for (QLineEdit* f : {paperWidthTxt, paperLengthTxt, scanLeftTxt, scanWidthTxt, scanTopTxt, scanHeightTxt, thresholdTxt,
                       blackPointTxt, whitePointTxt})
    if (f) connect(f, &QLineEdit::editingFinished, this, [this, f] { readTextField(f); });
}

void Quirel_ScanController_Base::readTextField(QLineEdit* field) {
  // The rules of parseSettings() for this one field.
  if (!field->isEnabled()) return;
  Quirel_Settings& s = mSettings;
  const QString text = field->text();
  if (field == paperWidthTxt) s.mPaperWidth = ParseNumber(text);
  if (field == paperLengthTxt && !s.autoLength()) s.mPaperLength = ParseNumber(text);
  if (!text.isEmpty()) {
    if (field == scanLeftTxt) s.mScanLeft = ParseNumber(text);
    if (field == scanWidthTxt) s.mScanWidth = ParseNumber(text);
    if (field == scanTopTxt) s.mScanTop = ParseNumber(text);
    if (field == scanHeightTxt && text != "auto") s.mScanHeight = ParseNumber(text);
  }
  if (field == thresholdTxt) s.mThreshold = ParseInteger(text);
  if (field == blackPointTxt) s.mBlackPoint = ParseInteger(text);
  if (field == whitePointTxt) s.mWhitePoint = ParseInteger(text);
}

void Quirel_ScanController_Base::setupUi() {
  // The resolution items are enabled by applySettings() alone (Qt has no
  // automatic enabling of pop-up items to turn off).
  if (paperWidthLbl) paperWidthOrigLblTxt = paperWidthLbl->text();
  if (paperLengthLbl) {
    const QString text = paperLengthLbl->text();
    int blank = -1;
    for (int i = 0; i < text.size(); ++i)
      if (text[i].isSpace()) {
        blank = i;
        break;
      }
    paperLengthOrigLblTxt = blank >= 0 ? text.mid(blank + 1) : QString();
  }
  if (scanTopLbl) scanTopOrigLblTxt = scanTopLbl->text();
  if (scanLeftLbl) scanLeftOrigLblTxt = scanLeftLbl->text();
  if (scanHeightLbl) scanHeightOrigLblTxt = scanHeightLbl->text();
  if (scanWidthLbl) scanWidthOrigLblTxt = scanWidthLbl->text();

  const QString unit = mSettings.mUsingMetric ? "mm" : "in.";
  for (QLabel* l : {pwUnitLbl, phUnitLbl, slUnitLbl, swUnitLbl, stUnitLbl, shUnitLbl}) SetText(l, unit);

  if (modelTxt) noScannerLblTxt = modelTxt->text();

  // Scanners already attached are reported while the monitor starts, so
  // the scanner's details are known before set-up goes on.
  mUsbMonitor = Quirel_UsbMonitor::create(
      [this](bool arrived, uint32_t location, uint16_t product) { usbChange(arrived, location, product); });

  std::thread([] {}).detach();

  mIsSetUp = true;
  if (QWidget* w = modelTxt ? modelTxt->window() : nullptr) {
    w->raise();
    w->activateWindow();
  }
}

void Quirel_ScanController_Base::updatePreviewSize() {
  if (!imageVw) return;
  const QSize size = imageVw->adjustedPreviewSize();
  mSettings.setPreviewSize(size.width(), size.height());
}

void Quirel_ScanController_Base::doErrorPanel(const QString& text) {
  QMessageBox alert;
  alert.setText(text);
  alert.exec();
}

void Quirel_ScanController_Base::configureSavePanel(QFileDialog* panel) const {
  const bool pdf = mSettings.mFileType == 2;
  panel->setWindowTitle("Quirel");
  panel->setLabelText(QFileDialog::Accept, "Save");
  panel->setLabelText(QFileDialog::FileName, pdf ? "Create PDF:" : "Create TIFF:");
  panel->setNameFilter(pdf ? "PDF (*.pdf)" : "TIFF (*.tif)");
  panel->setDefaultSuffix(pdf ? "pdf" : "tif");
  panel->setFileMode(QFileDialog::AnyFile);
}

// ---------------------------------------------------------------------------
// Control actions

void Quirel_ScanController_Base::doDepth() {
  Quirel_Settings& s = mSettings;
  const int before = s.mScanTypeTag;
  s.mScanTypeTag = SelectedItemTag(depthMnu);
  if (before == 1 && s.mScanTypeTag != 1) {
    if (s.mFileType == 1 && s.mUseTifZLib) s.mFileType = 3;
  } else if (before != 1 && s.mScanTypeTag == 1) {
    if (s.mFileType == 3) s.mFileType = 1;
  }
  if (s.mScanTypeTag == 1 && s.mWas1200)
    s.mResolution = 1200;
  else if (s.mScanTypeTag != 1 && s.mResolution > 600)
    s.mResolution = 600;
  applySettings();
}

void Quirel_ScanController_Base::doResolution() {
  mSettings.mResolution = SelectedItemTag(resolutionMnu);
  applySettings();
}

void Quirel_ScanController_Base::doDetectPaperLen() {
  mSettings.mAutoLength = IsOn(autoPaperLengthCbx);
  applySettings();
}

void Quirel_ScanController_Base::doScanSource() {
  const bool flatbed = SelectedTag(scanSourceBtns) == 2;
  if (flatbed != mSettings.mFlatbed) std::swap(mSettings.mOrientation, oldOrientation);
  mSettings.mFlatbed = flatbed;
  applySettings();
}

int Quirel_ScanController_Base::orientationForButton(QObject* button, bool flip) const {
  const bool flatbed = mSettings.mFlatbed;
  if (button && button == orientation2Btn) return flatbed ? 2 : (flip ? 3 : 1);
  if (button && button == orientation3Btn) return flatbed ? 1 : (flip ? 7 : 5);
  if (button && button == orientation4Btn) return flatbed ? 3 : (flip ? 6 : 4);
  return flip ? 2 : 0;
}

void Quirel_ScanController_Base::doOrientation(QObject* sender) {
  mSettings.mOrientation = orientationForButton(sender, IsOn(flipBtn));
  applySettings();
}

void Quirel_ScanController_Base::doFlip() {
  if (mSettings.mFlatbed) return;
  const bool flip = IsOn(flipBtn);
  // Bit 1 of an orientation code is the half turn (Long0/Long180,
  // Long90/Long270, ...): the flip button sets or clears it.
  int& o = mSettings.mOrientation;
  if (o >= 0 && o <= 7) o = flip ? (o | 2) : (o & ~2);
  applySettings();
}

void Quirel_ScanController_Base::doDuplex(QObject* sender) {
  Quirel_Settings& s = mSettings;
  s.mDuplex = IsOn(duplexCbx);
  if (s.mDuplex) {
    if (sender == flipBacksCbx) s.mFlipBacks = IsOn(flipBacksCbx);
    if (sender == skipFirstCbx) s.mSkipFirst = IsOn(skipFirstCbx);
    if (sender == skipLastCbx) s.mSkipLast = IsOn(skipLastCbx);
  }
  applySettings();
}

void Quirel_ScanController_Base::doFullPage() {
  Quirel_Settings& s = mSettings;
  s.mScanFullPage = IsOn(scanFullPageCbx);
  parseSettings();
  if (!s.mScanFullPage) {
    if (s.mScanTop == 0) s.mScanHeight = s.mPaperLength;
    if (s.mScanLeft == 0) s.mScanWidth = s.mPaperWidth;
  }
  applySettings();
}

void Quirel_ScanController_Base::doDouble() {
  mSettings.mDoubleThickness = IsOn(doubleThicknessCbx);
  mSettings.mDoubleLength = IsOn(doubleLengthCbx);
  applySettings();
}

void Quirel_ScanController_Base::doThresholdMtx() {
  const int tag = SelectedTag(thresholdMtx);
  mSettings.mDefaultThreshold = tag == 0;
  mSettings.mDynamicThreshold = tag == 1;
  applySettings();
}

void Quirel_ScanController_Base::doFileType() {
  mSettings.mFileType = SelectedTag(fileFormatBtns);
  if (mSettings.mScanTypeTag != 1) mSettings.mUseTifZLib = mSettings.mFileType == 3;
}

void Quirel_ScanController_Base::doDensity() {
  if (!densitySld) return;
  const double s = densitySld->value() / double(densitySld->maximum() > 0 ? densitySld->maximum() : 1);
  mSettings.mDensityFactor = std::pow(3.0, 2 * s - 1);
  applySettings();
}

void Quirel_ScanController_Base::doStop() {
  if (mScanJob) mScanJob->stopScan();
}

// ---------------------------------------------------------------------------
// Reading and checking

bool Quirel_ScanController_Base::parseSettings() {
  Quirel_Settings& s = mSettings;
  s.mScanTypeTag = SelectedItemTag(depthMnu);
  s.mResolution = SelectedItemTag(resolutionMnu);
  if (autoPaperLengthCbx && autoPaperLengthCbx->isEnabled()) s.mAutoLength = IsOn(autoPaperLengthCbx);
  if (paperWidthTxt) s.mPaperWidth = ParseNumber(paperWidthTxt->text());
  s.mFlatbed = SelectedTag(scanSourceBtns) == 2;
  if (duplexCbx && duplexCbx->isEnabled()) {
    s.mDuplex = IsOn(duplexCbx);
    if (s.mDuplex) {
      s.mFlipBacks = IsOn(flipBacksCbx);
      s.mSkipFirst = IsOn(skipFirstCbx);
      s.mSkipLast = IsOn(skipLastCbx);
    }
  }
  QObject* on = nullptr;
  for (QAbstractButton* b : {orientation2Btn, orientation3Btn, orientation4Btn})
    if (IsOn(b)) {
      on = b;
      break;
    }
  s.mOrientation = orientationForButton(on, IsOn(flipBtn));
  if (!s.autoLength() && paperLengthTxt) s.mPaperLength = ParseNumber(paperLengthTxt->text());
  s.mScanFullPage = IsOn(scanFullPageCbx);
  auto readArea = [](QLineEdit* field, double* value, bool allowAuto) {
    if (!field || !field->isEnabled()) return;
    const QString text = field->text();
    if (text.isEmpty() || (!allowAuto && text == "auto")) return;
    *value = ParseNumber(text);
  };
  readArea(scanLeftTxt, &s.mScanLeft, true);
  readArea(scanWidthTxt, &s.mScanWidth, true);
  readArea(scanTopTxt, &s.mScanTop, true);
  readArea(scanHeightTxt, &s.mScanHeight, false);
  s.mDoubleThickness = IsOn(doubleThicknessCbx);
  s.mDoubleLength = IsOn(doubleLengthCbx);
  if (densitySld) s.mDensityThreshold = true;
  if (thresholdMtx && CellWithTag(thresholdMtx, 0) && CellWithTag(thresholdMtx, 0)->isEnabled()) {
    const int tag = SelectedTag(thresholdMtx);
    s.mDefaultThreshold = tag == 0;
    s.mDynamicThreshold = tag == 1;
    if (thresholdTxt && thresholdTxt->isEnabled()) s.mThreshold = ParseInteger(thresholdTxt->text());
  }
  if (blackPointTxt && blackPointTxt->isEnabled()) s.mBlackPoint = ParseInteger(blackPointTxt->text());
  if (whitePointTxt && whitePointTxt->isEnabled()) s.mWhitePoint = ParseInteger(whitePointTxt->text());
  s.mFileType = SelectedTag(fileFormatBtns);
  return checkSettings();
}

bool Quirel_ScanController_Base::checkSettings() {
  const ScannerInfo* info = scannerInfo();
  if (!info) return true;
  const Quirel_Settings& s = mSettings;
  const double k = s.mUsingMetric ? 1 / kMmPerInch : 1;
  const bool swapped = s.mFlatbed ? (s.mOrientation == 1 || s.mOrientation == 3) : (s.mOrientation >= 4);
  const double paperW = s.mPaperWidth * k, paperL = s.mPaperLength * k;
  const double areaX = (s.mScanLeft + s.mScanWidth) * k, areaY = (s.mScanTop + s.mScanHeight) * k;
  const double W = swapped ? paperL : paperW;
  const double L = swapped ? paperW : paperL;
  const double X = swapped ? areaY : areaX;
  const double Y = swapped ? areaX : areaY;
  auto exceeds = [](double value, double limit) { return value > limit + kTolerance; };
  // Limits in the user's unit, in the format of each sentence.
  auto limit = [&](double inches) {
    return s.mUsingMetric ? QString::asprintf("%0.0f mm.", inches * kMmPerInch) : QString::asprintf("%0.2f inches.", inches);
  };

  QString message;
  if (s.mFlatbed) {
    if (exceeds(W, info->fbWidth))
      message += QString("The flatbed %1 of this scanner is %2 ").arg(info->fbLeft ? "height" : "width", limit(info->fbWidth));
    if (exceeds(L, info->fbHeight))
      message += QString("The flatbed %1 of this scanner is %2 ").arg(info->fbLeft ? "width" : "height", limit(info->fbHeight));
  } else {
    if (exceeds(W, info->adfWidth))
      message += QString("The maximum document feeder width for this scanner is %1 ").arg(limit(info->adfWidth));
    const double greatest = info->adfLongLength2 > 0   ? info->adfLongLength2
                            : info->adfLongLength1 > 0 ? info->adfLongLength1
                                                       : info->adfLength;
    if (exceeds(L, greatest)) {
      message += QString("The maximum document feeder length for this scanner is %1 ").arg(limit(greatest));
    } else if (info->adfLongResCutoff1 > 0 && exceeds(L, info->adfLength) && s.mResolution > info->adfLongResCutoff1) {
      message += QString("The maximum document feeder length for this scanner, when scanning at resolutions higher "
                         "than %1dpi, is %2 ")
                     .arg(info->adfLongResCutoff1)
                     .arg(limit(info->adfLength));
    } else if (info->adfLongResCutoff2 > 0 && exceeds(L, info->adfLongLength1) &&
               s.mResolution > info->adfLongResCutoff2) {
      message += QString("The maximum document feeder length for this scanner, when scanning at resolutions higher "
                         "than %1dpi, is %2 ")
                     .arg(info->adfLongResCutoff2)
                     .arg(limit(info->adfLongLength1));
    }
  }
  if (!s.mScanFullPage) {
    if (exceeds(X, W)) message += "You have specified a scan area that goes beyond the width of the page. ";
    if (exceeds(Y, L)) message += "You have specified a scan area that goes beyond the height of the page. ";
  }
  if (message.isEmpty()) return true;
  doErrorPanel(message);
  return false;
}

// ---------------------------------------------------------------------------
// Writing the controls

double Quirel_ScanController_Base::maxFeederLength() const {
  const ScannerInfo* info = scannerInfo();
  if (!info) return 14;
  const int type = mSettings.mScanTypeTag;
  const unsigned modes = info->adfLongScanModes;
  const bool longScans = (type == 1 && (modes & 1)) || ((type == 4 || type == 8) && (modes & 2)) ||
                         ((type == 12 || type == 24) && (modes & 4));
  if (!longScans) return info->adfLength;
  if (info->adfLongResCutoff2 > 0 && info->adfLongResCutoff2 >= mSettings.mResolution) return info->adfLongLength2;
  if (info->adfLongResCutoff1 > 0 && info->adfLongResCutoff1 >= mSettings.mResolution) return info->adfLongLength1;
  return info->adfLength;
}

void Quirel_ScanController_Base::applyOrientationImages() {
  const Quirel_Settings& s = mSettings;
  const char* const* names;
  static const char* const fbLeft[] = {"fb-left-r0", "fb-left-r180", "fb-left-r90", "fb-left-r270"};
  static const char* const fbTop[] = {"fb-top-r0", "fb-top-r180", "fb-top-r90", "fb-top-r270"};
  static const char* const adf[] = {"adf-long-r0", "adf-long-r90", "adf-wide-r90", "adf-wide-r0"};
  static const char* const adfFlipped[] = {"adf-long-r180", "adf-long-r270", "adf-wide-r270", "adf-wide-r180"};
  if (s.mFlatbed)
    names = (mScannerInfo && mScannerInfo->fbLeft) ? fbLeft : fbTop;
  else
    names = (s.mOrientation == 2 || s.mOrientation == 3 || s.mOrientation == 6 || s.mOrientation == 7) ? adfFlipped : adf;
  QAbstractButton* buttons[] = {orientation1Btn, orientation2Btn, orientation3Btn, orientation4Btn};
  for (int i = 0; i < 4; ++i) {
    if (!buttons[i]) continue;
    buttons[i]->setIcon(OrientationImage(names[i]));
    buttons[i]->setProperty("imageName", QString(names[i]));
  }
}

void Quirel_ScanController_Base::applySettings() {
  Quirel_Settings& s = mSettings;
  const ScannerInfo* info = scannerInfo();
  // 1. A scanner without a flatbed scans from the feeder.
  if (info && !info->hasFlatbed) s.mFlatbed = false;
  const bool lineArt = s.mScanTypeTag == 1;

  // 2. Image type and resolution.
  SelectItemWithTag(depthMnu, s.mScanTypeTag);
  SelectItemWithTag(resolutionMnu, s.mResolution);
  if (lineArt) s.mWas1200 = s.mResolution == 1200;
  SetItemWithTagEnabled(resolutionMnu, 1200, lineArt);

  // 3. Paper size.
  const bool autoLength = s.autoLength();
  SetOn(autoPaperLengthCbx, autoLength);
  ShowNumber(paperWidthTxt, s.mPaperWidth);
  SetEnabled(paperLengthTxt, !autoLength);
  if (autoLength) {
    const double inches = maxFeederLength();
    const double shown =
        s.mUsingMetric ? std::round(inches * kMmPerInch * 10) / 10 : std::round(inches * 100) / 100;
    ShowNumber(paperLengthTxt, shown);
  } else {
    ShowNumber(paperLengthTxt, s.mPaperLength);
  }

  // 4. Scan source.
  SelectCellWithTag(scanSourceBtns, s.mFlatbed ? 2 : 1);

  // 5. Orientation.
  applyOrientationImages();
  QAbstractButton* buttons[] = {orientation1Btn, orientation2Btn, orientation3Btn, orientation4Btn};
  for (QAbstractButton* b : buttons) SetOn(b, false);
  int on = 1;
  switch (s.mOrientation) {
    case 0:
      on = 1;
      break;
    case 1:
      on = s.mFlatbed ? 3 : 2;
      break;
    case 2:
      on = s.mFlatbed ? 2 : 1;
      break;
    case 3:
      on = s.mFlatbed ? 4 : 2;
      break;
    case 4:
    case 6:
      on = 4;
      break;
    case 5:
    case 7:
      on = 3;
      break;
  }
  SetOn(buttons[on - 1], true);
  const bool flipped = s.mOrientation == 2 || s.mOrientation == 3 || s.mOrientation == 6 || s.mOrientation == 7;
  SetOn(flipBtn, !s.mFlatbed && flipped);
  SetEnabled(flipBtn, !s.mFlatbed);

  // 6. Duplex and full page.
  SetOn(duplexCbx, s.duplex());
  SetOn(flipBacksCbx, s.flipBacks());
  SetOn(skipFirstCbx, s.skipFirst());
  SetOn(skipLastCbx, s.skipLast());
  SetOn(scanFullPageCbx, s.mScanFullPage);

  // 7. Scan area.
  if (s.mScanFullPage) {
    for (QLineEdit* f : {scanLeftTxt, scanWidthTxt, scanTopTxt, scanHeightTxt})
      if (f) f->clear();
  } else {
    ShowNumber(scanLeftTxt, s.mScanLeft);
    ShowNumber(scanWidthTxt, s.mScanWidth);
    if (autoLength) {
      if (scanTopTxt) scanTopTxt->setText("0.0");
      if (scanHeightTxt) scanHeightTxt->setText("auto");
    } else {
      ShowNumber(scanTopTxt, s.mScanTop);
      ShowNumber(scanHeightTxt, s.mScanHeight);
    }
  }

  // 8. Double feed.
  SetOn(doubleThicknessCbx, !s.mFlatbed && s.mDoubleThickness);
  SetOn(doubleLengthCbx, !s.mFlatbed && s.mDoubleLength && !autoLength);

  // 9. Thresholds.
  SelectCellWithTag(thresholdMtx, s.dynamicThreshold() ? 1 : s.defaultThreshold() ? 0 : -1);
  auto showLevel = [](QLineEdit* f, int v) {
    if (f) f->setText(v == -1 ? QString() : QString::number(v));
  };
  showLevel(thresholdTxt, s.threshold());
  showLevel(blackPointTxt, s.blackPoint());
  showLevel(whitePointTxt, s.whitePoint());

  // 10. Density.
  if (densitySld) {
    const double v = std::round(((std::log(s.mDensityFactor) / std::log(3.0)) + 1) * 0.5 * 1000) / 1000;
    densitySld->setValue(int(std::lround(v * densitySld->maximum())));
  }

  // 11. File format.
  SelectCellWithTag(fileFormatBtns, s.mFileType == 1 ? 3 : s.mFileType);

  // 12. Labels, swapped when the page's dimensions are.
  const bool f = s.dimsFlipped();
  const QString lengthLabel = autoLength ? QString("Max %1").arg(paperLengthOrigLblTxt) : paperLengthOrigLblTxt;
  SetText(paperWidthLbl, f ? lengthLabel : paperWidthOrigLblTxt);
  SetText(paperLengthLbl, f ? paperWidthOrigLblTxt : lengthLabel);
  SetText(scanLeftLbl, f ? scanTopOrigLblTxt : scanLeftOrigLblTxt);
  SetText(scanTopLbl, f ? scanLeftOrigLblTxt : scanTopOrigLblTxt);
  SetText(scanWidthLbl, f ? scanHeightOrigLblTxt : scanWidthOrigLblTxt);
  SetText(scanHeightLbl, f ? scanWidthOrigLblTxt : scanHeightOrigLblTxt);

  // 13. Enabling.
  SetEnabled(autoPaperLengthCbx,
             (!info || info->hasAutoLen) && !s.mFlatbed && (s.mOrientation == 0 || s.mOrientation == 2));
  SetEnabled(CellWithTag(scanSourceBtns, 2), !info || info->hasFlatbed);
  SetEnabled(duplexCbx, !s.mFlatbed);
  const bool duplex = s.duplex();
  for (QWidget* w : std::initializer_list<QWidget*>{flipBacksCbx, skipFirstCbx, skipLastCbx}) SetEnabled(w, duplex);
  SetEnabled(scanLeftTxt, !s.mScanFullPage);
  SetEnabled(scanWidthTxt, !s.mScanFullPage);
  SetEnabled(scanTopTxt, !s.mScanFullPage && !autoLength);
  SetEnabled(scanHeightTxt, !s.mScanFullPage && !autoLength);
  SetEnabled(doubleThicknessCbx, !s.mFlatbed);
  SetEnabled(doubleLengthCbx, !s.mFlatbed && !autoLength);

  // 14. Contrast controls for the image type; the file formats.
  if (contrastTab) {
    contrastTab->setCurrentIndex(lineArt ? 0 : 1);
    // The hidden page takes no room, so the box fits the page shown.
    for (int i = 0; i < contrastTab->count(); ++i)
      contrastTab->widget(i)->setSizePolicy(i == contrastTab->currentIndex() ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                                           i == contrastTab->currentIndex() ? QSizePolicy::Preferred : QSizePolicy::Ignored);
  }
  if (thresholdMtx)
    for (QAbstractButton* b : thresholdMtx->buttons()) b->setEnabled(lineArt);
  SetEnabled(densitySld, lineArt);
  SetEnabled(thresholdTxt, lineArt && !s.defaultThreshold() && !s.dynamicThreshold());
  SetEnabled(blackPointTxt, !lineArt);
  SetEnabled(whitePointTxt, !lineArt);
  SetEnabled(CellWithTag(fileFormatBtns, 3), !(lineArt && CellWithTag(fileFormatBtns, 1)));

  // 15. How to load the feeder.
  if (feedSideTxt)
    feedSideTxt->setText(!info ? QString() : info->feedsFaceUp ? "(place paper face up)" : "(place paper face down)");
}

// ---------------------------------------------------------------------------
// Defaults

void Quirel_ScanController_Base::loadDefaultArgs() {
  if (const std::optional<QVariantMap> stored = mSettings.readDictionary()) mSettings.readFromDictionary(*stored);
  applySettings();
}

void Quirel_ScanController_Base::saveArgsAsDefaults() {
  QVariantMap stored = mSettings.readDictionary().value_or(QVariantMap());
  updateParameters(&stored);
  mSettings.writeDictionary(stored);
}

void Quirel_ScanController_Base::updateParameters(QVariantMap* parameters) const {
  mSettings.writeToDictionary(parameters);
}

void Quirel_ScanController_Base::updateFromParameters(const QVariantMap& parameters) {
  if (!parameters.isEmpty()) mSettings.readFromDictionary(parameters);
  applySettings();
}

// ---------------------------------------------------------------------------
// Scanner tracking

void Quirel_ScanController_Base::usbChange(bool, uint32_t, uint16_t) { getScannerInfo(); }

void Quirel_ScanController_Base::getScannerInfo() {
  mScannerInfo.reset();
  const int query = ++mScannerQueries;
  // The tool runs while the event loop keeps going, so a further USB report
  // can start another query before this one returns.
  std::optional<ScannerInfo> found = mScanJob ? mScanJob->findScanner() : std::nullopt;
  // A query that started meanwhile knows better: the newest result stands,
  // also when it found no scanner.
  if (query != mScannerQueries) return;
  mScannerInfo = std::move(found);
  if (!mScannerInfo) {
    SetText(modelTxt, noScannerLblTxt);
    return;
  }
  const QString text = mScannerInfo->supported ? mScannerInfo->modelName : mScannerInfo->modelName + " (unsupported)";
  if (modelTxt && modelTxt->text() == text) return;
  SetText(modelTxt, text);
  if (mIsSetUp) applySettings();
}

// ---------------------------------------------------------------------------
// From the scan job

QImage Quirel_ScanController_Base::ImageFromPreview(PreviewBitmap bitmap) {
  if (!bitmap.data || bitmap.width <= 0 || bitmap.height <= 0) {
    std::free(bitmap.data);
    return QImage();
  }
  uchar* data = static_cast<uchar*>(bitmap.data);
  if (bitmap.depth == 1) {
    QImage image(data, bitmap.width, bitmap.height, bitmap.rowBytes, QImage::Format_Grayscale8, std::free, data);
    // Sample 0 is white.
    image.invertPixels();
    return image;
  }
  // Ignored byte, red, green, blue in memory: rearranged in place into the
  // host's 0xffRRGGBB words.
  for (int y = 0; y < bitmap.height; ++y) {
    uchar* p = data + size_t(y) * size_t(bitmap.rowBytes);
    for (int x = 0; x < bitmap.width; ++x, p += 4) {
      const uint32_t word = 0xFF000000u | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
      std::memcpy(p, &word, 4);
    }
  }
  return QImage(data, bitmap.width, bitmap.height, bitmap.rowBytes, QImage::Format_RGB32, std::free, data);
}

void Quirel_ScanController_Base::receivePreview(PreviewBitmap bitmap) {
  QImage image = ImageFromPreview(bitmap);
  if (imageVw && !image.isNull()) imageVw->appendScanPreview(image);
}
