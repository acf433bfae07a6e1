// Quirel_ScanController_Base: reading the controls into the settings, checking them, and showing the settings in the controls.
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
#include "FujiScanParams.h"
#include "OrientationImages.h"
#include "Quirel_UsbMonitor.h"
#include "ScanPreviewControl.h"

using quirel::frontend::PreviewBitmap;
using quirel::frontend::Quirel_Settings;
using quirel::frontend::ScannerInfo;

using namespace quirel::gui;

namespace {

// The engine's image type of a scan type tag, as the scan jobs map it.
ZuzuvovOvav::ImageTypeE ImageTypeOfTag(int32_t scanTypeTag) {
  switch (scanTypeTag) {
    case 1: return ZuzuvovOvav::kImageTypeLineArt;
    case 4:
    case 8: return ZuzuvovOvav::kImageTypeGray;
    default: return ZuzuvovOvav::kImageTypeColor;
  }
}

// The feeder's lengths of the attached scanner, for the engine's rule.
ZuzuvovOvav::FeederLengths FeederLengthsOf(const ScannerInfo& info) {
  return {info.adfLength, info.adfLongScanModes, info.adfLongResCutoff1, info.adfLongLength1, info.adfLongResCutoff2,
          info.adfLongLength2};
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading and checking

bool Quirel_ScanController_Base::parseSettings() {
  Quirel_Settings& s = mSettings;
  // Sentences naming the fields whose text is not a number.
  QString problems;
  s.mScanTypeTag = SelectedItemTag(depthMnu);
  s.mResolution = SelectedItemTag(resolutionMnu);
  if (autoPaperLengthCbx && autoPaperLengthCbx->isEnabled()) s.mAutoLength = IsOn(autoPaperLengthCbx);
  readNumberField(paperWidthTxt, &problems);
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
  readNumberField(paperLengthTxt, &problems);
  s.mScanFullPage = IsOn(scanFullPageCbx);
  for (QLineEdit* f : {scanLeftTxt, scanWidthTxt, scanTopTxt, scanHeightTxt}) readNumberField(f, &problems);
  // A disabled box (on the flatbed, or by length while the length is
  // detected) shows no choice of the user's: the stored one stays.
  if (doubleThicknessCbx && doubleThicknessCbx->isEnabled()) s.mDoubleThickness = IsOn(doubleThicknessCbx);
  if (doubleLengthCbx && doubleLengthCbx->isEnabled()) s.mDoubleLength = IsOn(doubleLengthCbx);
  if (densitySld) s.mDensityThreshold = true;
  if (thresholdMtx && CellWithTag(thresholdMtx, 0) && CellWithTag(thresholdMtx, 0)->isEnabled()) {
    const int tag = SelectedTag(thresholdMtx);
    s.mDefaultThreshold = tag == 0;
    s.mDynamicThreshold = tag == 1;
    readNumberField(thresholdTxt, &problems);
  }
  readNumberField(blackPointTxt, &problems);
  readNumberField(whitePointTxt, &problems);
  s.mFileType = SelectedTag(fileFormatBtns);
  if (!problems.isEmpty()) {
    doErrorPanel(problems);
    return false;
  }
  return checkSettings();
}

bool Quirel_ScanController_Base::checkSettings() {
  const ScannerInfo* info = scannerInfo();
  const Quirel_Settings& s = mSettings;
  QString message;
  // The points any scan takes, whatever the scanner (FujiScanParams.h).
  if (s.mScanTypeTag != 1) {
    const std::pair<const char*, int32_t> points[] = {{"black", s.mBlackPoint}, {"white", s.mWhitePoint}};
    for (const auto& [name, value] : points)
      if (value < 0 || value > ZuzuvovOvav::kMaxPointValue)
        message += QString("The %1 point is %2; it must be from 0 to %3. ").arg(name).arg(value).arg(ZuzuvovOvav::kMaxPointValue);
  }
  if (!info) {
    if (message.isEmpty()) return true;
    doErrorPanel(message);
    return false;
  }
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
  // The paper field that holds the size lying across (or along) the
  // scanner is named when its label is not the one the sentence suggests:
  // sideways, the length the user set may go across the feeder.
  const QString where = s.mFlatbed ? "flatbed" : "feeder";
  auto named = [&](bool across) {
    const QLineEdit* field = (swapped == across) ? paperLengthTxt : paperWidthTxt;
    const QLabel* label = field == paperWidthTxt ? paperWidthLbl : paperLengthLbl;
    const QString expected = across ? paperWidthOrigLblTxt : paperLengthOrigLblTxt;
    if (!field || !label || label->text().endsWith(expected)) return QString();
    const double value = (swapped == across) ? s.mPaperLength : s.mPaperWidth;
    return QString("The paper %1 you set (%2 %3) %4 the %5 in this orientation. ")
        .arg(fieldName(field).mid(6), FormatNumber(value), s.mUsingMetric ? "mm" : "inches",
             across ? "lies across" : "runs along", where);
  };

  if (s.mFlatbed) {
    if (exceeds(W, info->fbWidth))
      message += QString("The flatbed %1 of this scanner is %2 ").arg(info->fbLeft ? "height" : "width", limit(info->fbWidth)) + named(true);
    if (exceeds(L, info->fbHeight))
      message += QString("The flatbed %1 of this scanner is %2 ").arg(info->fbLeft ? "width" : "height", limit(info->fbHeight)) + named(false);
  } else {
    if (exceeds(W, info->adfWidth))
      message += QString("The maximum document feeder width for this scanner is %1 ").arg(limit(info->adfWidth)) + named(true);
    // The longest page the model's feeder takes for this image type, by
    // the engine's rule, so that the window refuses what the tool refuses.
    const ZuzuvovOvav::FeederLengths lengths = FeederLengthsOf(*info);
    const ZuzuvovOvav::ImageTypeE type = ImageTypeOfTag(mSettings.mScanTypeTag);
    const double greatest = ZuzuvovOvav::LongestFeederLength(lengths, type);
    const ZuzuvovOvav::FeederLengthLimit here =
        ZuzuvovOvav::FeederLengthFor(lengths, type, uint32_t(std::max(s.mResolution, 0)));
    const size_t before = size_t(message.size());
    if (exceeds(L, greatest) || (exceeds(L, here.mInches) && here.mAboveDpi <= 0)) {
      message += QString("The maximum document feeder length for this scanner is %1 ").arg(limit(std::min(greatest, here.mInches)));
    } else if (exceeds(L, here.mInches)) {
      message += QString("The maximum document feeder length for this scanner, when scanning at resolutions higher "
                         "than %1dpi, is %2 ")
                     .arg(here.mAboveDpi)
                     .arg(limit(here.mInches));
    }
    if (size_t(message.size()) != before) message += named(false);
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
  return ZuzuvovOvav::FeederLengthFor(FeederLengthsOf(*info), ImageTypeOfTag(mSettings.mScanTypeTag), uint32_t(std::max(mSettings.mResolution, 0)))
      .mInches;
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
  // A scanner without a flatbed scans from the feeder.
  if (info && !info->hasFlatbed) s.mFlatbed = false;
  const bool lineArt = s.mScanTypeTag == 1;

  // Image type and resolution.
  SelectItemWithTag(depthMnu, s.mScanTypeTag);
  SelectItemWithTag(resolutionMnu, s.mResolution);
  if (lineArt) s.mWas1200 = s.mResolution == 1200;
  SetItemWithTagEnabled(resolutionMnu, 1200, lineArt);

  // Paper size.
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

  // Scan source.
  SelectCellWithTag(scanSourceBtns, s.mFlatbed ? 2 : 1);

  // Orientation.
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

  // Duplex and full page.
  SetOn(duplexCbx, s.duplex());
  SetOn(flipBacksCbx, s.flipBacks());
  SetOn(skipFirstCbx, s.skipFirst());
  SetOn(skipLastCbx, s.skipLast());
  SetOn(scanFullPageCbx, s.mScanFullPage);

  // Scan area.
  if (s.mScanFullPage) {
    for (QLineEdit* f : {scanLeftTxt, scanWidthTxt, scanTopTxt, scanHeightTxt})
      if (f) f->clear();
  } else {
    ShowNumber(scanLeftTxt, s.mScanLeft);
    ShowNumber(scanWidthTxt, s.mScanWidth);
    if (autoLength) {
      if (scanTopTxt) scanTopTxt->setText(FormatFixed(0, 1));
      if (scanHeightTxt) scanHeightTxt->setText("auto");
    } else {
      ShowNumber(scanTopTxt, s.mScanTop);
      ShowNumber(scanHeightTxt, s.mScanHeight);
    }
  }

  // Double feed.
  SetOn(doubleThicknessCbx, !s.mFlatbed && s.mDoubleThickness);
  SetOn(doubleLengthCbx, !s.mFlatbed && s.mDoubleLength && !autoLength);

  // Thresholds.
  SelectCellWithTag(thresholdMtx, s.dynamicThreshold() ? 1 : s.defaultThreshold() ? 0 : -1);
  auto showLevel = [](QLineEdit* f, int v) {
    if (f) f->setText(v == -1 ? QString() : QString::number(v));
  };
  showLevel(thresholdTxt, s.threshold());
  showLevel(blackPointTxt, s.blackPoint());
  showLevel(whitePointTxt, s.whitePoint());

  // Density.
  if (densitySld) {
    const double v = std::round(((std::log(s.mDensityFactor) / std::log(3.0)) + 1) * 0.5 * 1000) / 1000;
    densitySld->setValue(int(std::lround(v * densitySld->maximum())));
  }

  // File format.
  SelectCellWithTag(fileFormatBtns, s.mFileType == 1 ? 3 : s.mFileType);

  // Labels, swapped when the page's dimensions are.
  const bool f = s.dimsFlipped();
  const QString lengthLabel = autoLength ? QString("Max %1").arg(paperLengthOrigLblTxt) : paperLengthOrigLblTxt;
  SetText(paperWidthLbl, f ? lengthLabel : paperWidthOrigLblTxt);
  SetText(paperLengthLbl, f ? paperWidthOrigLblTxt : lengthLabel);
  SetText(scanLeftLbl, f ? scanTopOrigLblTxt : scanLeftOrigLblTxt);
  SetText(scanTopLbl, f ? scanLeftOrigLblTxt : scanTopOrigLblTxt);
  SetText(scanWidthLbl, f ? scanHeightOrigLblTxt : scanWidthOrigLblTxt);
  SetText(scanHeightLbl, f ? scanWidthOrigLblTxt : scanHeightOrigLblTxt);

  // Enabling.
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

  // Contrast controls for the image type; the file formats.
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

  // How to load the feeder.
  if (feedSideTxt)
    feedSideTxt->setText(!info ? QString() : info->feedsFaceUp ? "(place paper face up)" : "(place paper face down)");

  markNumberFields();
}

