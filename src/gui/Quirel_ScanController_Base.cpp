// Quirel_ScanController_Base: outlets, set-up, control actions, defaults, scanner tracking and previews.
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
#include "ControlValues.h"
#include "OrientationImages.h"
#include "Quirel_UsbMonitor.h"
#include "ScanPreviewControl.h"

using quirel::frontend::PreviewBitmap;
using quirel::frontend::Quirel_Settings;
using quirel::frontend::ScannerInfo;

using namespace quirel::gui;


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
    if (f) connect(f, &QLineEdit::textEdited, this, [this, f] { readTextField(f); });
}

void Quirel_ScanController_Base::readTextField(QLineEdit* field) { readNumberField(field, nullptr); }

void Quirel_ScanController_Base::readNumberField(QLineEdit* field, QString* problems) {
  if (!field || !field->isEnabled()) return;
  Quirel_Settings& s = mSettings;
  const QString text = field->text().trimmed();
  double* real = nullptr;
  int32_t* whole = nullptr;
  if (field == paperWidthTxt) {
    real = &s.mPaperWidth;
  } else if (field == paperLengthTxt) {
    if (s.autoLength()) return;
    real = &s.mPaperLength;
  } else if (field == scanLeftTxt || field == scanWidthTxt || field == scanTopTxt || field == scanHeightTxt) {
    // An empty area field (and "auto" as the height) keeps its value.
    if (text.isEmpty() || (field == scanHeightTxt && text == "auto")) {
      MarkNotANumber(field, false);
      return;
    }
    real = field == scanLeftTxt ? &s.mScanLeft : field == scanWidthTxt ? &s.mScanWidth
                                : field == scanTopTxt  ? &s.mScanTop
                                                       : &s.mScanHeight;
  } else if (field == thresholdTxt || field == blackPointTxt || field == whitePointTxt) {
    whole = field == thresholdTxt ? &s.mThreshold : field == blackPointTxt ? &s.mBlackPoint : &s.mWhitePoint;
  } else {
    return;
  }
  std::optional<double> value = ReadNumber(text);
  if (whole) {
    const std::optional<int> n = ReadWholeNumber(text);
    value = n ? std::optional<double>(*n) : std::nullopt;
  }
  MarkNotANumber(field, !value);
  if (!value) {
    if (problems)
      *problems += text.isEmpty() ? QString("The %1 is empty. ").arg(fieldName(field))
                                  : QString("The %1 “%2” is not %3. ").arg(fieldName(field), text, whole ? "a whole number" : "a number");
    return;
  }
  if (real) *real = *value;
  if (whole) *whole = int32_t(*value);
}

QString Quirel_ScanController_Base::fieldName(const QLineEdit* field) const {
  auto shown = [](const QLabel* label) {
    QString t = label ? label->text() : QString();
    t.remove(':');
    return t.trimmed().toLower();
  };
  if (field == paperWidthTxt) return "paper " + shown(paperWidthLbl);
  if (field == paperLengthTxt) return "paper " + shown(paperLengthLbl);
  if (field == scanLeftTxt) return "scan area " + shown(scanLeftLbl);
  if (field == scanWidthTxt) return "scan area " + shown(scanWidthLbl);
  if (field == scanTopTxt) return "scan area " + shown(scanTopLbl);
  if (field == scanHeightTxt) return "scan area " + shown(scanHeightLbl);
  if (field == thresholdTxt) return "threshold";
  if (field == blackPointTxt) return "black point";
  if (field == whitePointTxt) return "white point";
  return "field";
}

void Quirel_ScanController_Base::markNumberFields() {
  for (QLineEdit* f : {paperWidthTxt, paperLengthTxt, scanLeftTxt, scanWidthTxt, scanTopTxt, scanHeightTxt, thresholdTxt,
                       blackPointTxt, whitePointTxt}) {
    if (!f) continue;
    const QString text = f->text().trimmed();
    const bool area = f == scanLeftTxt || f == scanWidthTxt || f == scanTopTxt || f == scanHeightTxt;
    const bool level = f == thresholdTxt || f == blackPointTxt || f == whitePointTxt;
    const bool fine = !f->isEnabled() || (area && (text.isEmpty() || (f == scanHeightTxt && text == "auto"))) ||
                      (level ? ReadWholeNumber(text).has_value() : ReadNumber(text).has_value());
    MarkNotANumber(f, !fine);
  }
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
  // A box that is disabled shows no choice of the user's: it keeps its own.
  if (doubleThicknessCbx && doubleThicknessCbx->isEnabled()) mSettings.mDoubleThickness = IsOn(doubleThicknessCbx);
  if (doubleLengthCbx && doubleLengthCbx->isEnabled()) mSettings.mDoubleLength = IsOn(doubleLengthCbx);
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
  // The tool may take a while to finish its page and file: the disabled
  // button shows that the stop has been asked for.
  SetEnabled(stopBtn, false);
}

// ---------------------------------------------------------------------------
// Defaults

void Quirel_ScanController_Base::loadDefaultArgs() {
  if (const std::optional<QVariantMap> stored = mSettings.readDictionary()) mSettings.readFromDictionary(*stored);
  applySettings();
}

void Quirel_ScanController_Base::saveArgsAsDefaults() { saveArgsAsDefaults(mSettings); }

void Quirel_ScanController_Base::saveArgsAsDefaults(const Quirel_Settings& scanned) {
  QVariantMap stored = scanned.readDictionary().value_or(QVariantMap());
  scanned.writeToDictionary(&stored);
  scanned.writeDictionary(stored);
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
  // The controls follow the scanner, also when it has gone: what it could
  // do (its flatbed, how to load its feeder) no longer applies.
  const QString text = !mScannerInfo           ? noScannerLblTxt
                       : mScannerInfo->supported ? mScannerInfo->modelName
                                                 : mScannerInfo->modelName + " (unsupported)";
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
