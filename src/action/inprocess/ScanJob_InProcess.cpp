// ScanJob_InProcess: settings onto ScanParams, the engine's scan job run in this process, and its reports carried to the main thread.
#include "ScanJob_InProcess.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <exception>
#include <system_error>
#include <utility>

#include "FujiDevice.h"
#include "OutputCheck.h"
#include "PagePreview.h"
#include "PreviewBitmap.h"
#include "Quirel_Settings.h"
#include "ScanJob.h"
#include "ScannerInfo.h"

using namespace ZuzuvovOvav;
using quirel::frontend::Quirel_Settings;
using quirel::frontend::ScanJobController;
using quirel::frontend::ScannerInfo;

namespace quirel::action {

const char* const kEngineJobFailedText = "The scan could not be started: ";
const char* const kNoResultsText = "The scan ended without reporting its results.";

namespace {

// The program's description string, written into the files as their
// producer.
constexpr const char* kProgramDescription = "Quirel " QUIREL_VERSION;

// Rotation code by orientation modulo 4, without and with flipped backs.
constexpr uint32_t kRotations[4][2] = {{0, 3}, {9, 10}, {15, 12}, {6, 5}};

// The first setting that setParams could not map faithfully, named as the
// parameters file names it, with its value and the values it may take;
// empty when there is none. The action's view offers only values that fit,
// but a parameters file may hold any number, and the engine's fields would
// wrap a negative resolution into a huge one. The ranges are the tool's
// (FujiScanParams.h).
std::string OutOfRange(const Quirel_Settings& s) {
  // "The setting Resolution is -300; it must be at least 50 and at most 1200 dpi."
  const auto range = [](const char* key, double v, bool minAllowed, double min, double max, const char* unit) {
    if ((minAllowed ? v >= min : v > min) && v <= max) return std::string();  // a NaN is out too
    const auto number = [](double n) { return QString::number(n, 'g', 10); };
    return QStringLiteral("The setting %1 is %2; it must be %3 %4 and at most %5%6.")
        .arg(QLatin1String(key), number(v), minAllowed ? QStringLiteral("at least") : QStringLiteral("above"),
             number(min), number(max), QLatin1String(unit))
        .toStdString();
  };
  const bool lineArt = s.mScanTypeTag == 1;
  const double maxInches = kMaxLength1200 / 1200.0;
  const double maxLength = s.mUsingMetric ? maxInches * 25.4 : maxInches;
  const char* unit = s.mUsingMetric ? " mm" : " inches";
  std::string why = range("Resolution", s.mResolution, true, kMinResolution, kMaxResolution, " dpi");
  if (why.empty() && s.fixedThreshold()) why = range("Threshold", s.mThreshold, true, 0, INT32_MAX, "");
  if (why.empty() && s.fixedThreshold()) why = range("Despeckle", s.mDespeckle, true, 0, INT32_MAX, "");
  if (why.empty() && !lineArt) why = range("BlackPoint", s.mBlackPoint, true, 0, kMaxPointValue, "");
  if (why.empty() && !lineArt) why = range("WhitePoint", s.mWhitePoint, true, 0, kMaxPointValue, "");
  if (why.empty() && lineArt && s.mDensityThreshold)
    why = range("DensityFactor", s.mDensityFactor, true, kMinDensityFactor, kMaxDensityFactor, "");
  if (why.empty()) why = range("PaperWidth", s.mPaperWidth, false, 0, maxLength, unit);
  if (why.empty() && !s.autoLength()) why = range("PaperHeight", s.mPaperLength, false, 0, maxLength, unit);
  if (!s.mScanFullPage) {
    if (why.empty()) why = range("ScanLeft", s.mScanLeft, true, 0, maxLength, unit);
    if (why.empty()) why = range("ScanWidth", s.mScanWidth, false, 0, maxLength, unit);
    if (why.empty()) why = range("ScanTop", s.mScanTop, true, 0, maxLength, unit);
    if (why.empty() && !s.autoLength()) why = range("ScanHeight", s.mScanHeight, false, 0, maxLength, unit);
  }
  return why;
}

// The first limit of the attached model that the job goes beyond, by the
// rule the tool and the window check with (ScanParams::FirstExceededLimit on
// the record setParams built), naming the setting to change as the
// parameters file names it, in the settings' unit; empty when the job fits
// or no known model is attached (the engine then says so). A run whose view
// was never shown had no window to check its settings.
std::string BeyondTheModel(const ScanParams& p, const Quirel_Settings& s) {
  const std::vector<ScannerDescT> scanners = Device::EnumerateScanners();
  const ProductSettings* row = scanners.empty() ? nullptr : Device::GetProductById(scanners.front().mProductId);
  if (!row) return std::string();
  const ExceededLimit limit = p.FirstExceededLimit(*row);
  const QString model = QString::fromUtf8(row->mModelName);
  if (limit.kind == ExceededLimit::kNone) return std::string();
  if (limit.kind == ExceededLimit::kNoFlatbed)
    return QStringLiteral("The %1 has no flatbed; set Flatbed to NO to scan from its document feeder.").arg(model).toStdString();
  // setParams swaps the settings' width and height when the dimensions are
  // flipped, and the limit's across and along follow the page's turn.
  const bool heightAcross = limit.turned != s.dimsFlipped();
  const bool across = limit.kind == ExceededLimit::kPaperAcross || limit.kind == ExceededLimit::kAreaAcross;
  const bool widthKey = across != heightAcross;  // the setting is a width (else a height)
  const auto inUnit = [&](uint32_t v) {
    const double inches = v / 1200.0;
    return s.mUsingMetric ? QString::number(std::round(inches * 254) / 10, 'g', 10)
                          : QString::number(std::round(inches * 100) / 100, 'g', 10);
  };
  const QString unit = s.mUsingMetric ? QStringLiteral(" mm") : QStringLiteral(" inches");
  const QString where = p.mUseFlatbed ? QStringLiteral("flatbed") : QStringLiteral("document feeder");
  const char* typeName = p.mImageType == kImageTypeLineArt ? "line art" : p.mImageType == kImageTypeGray ? "gray" : "colour";
  const QString atResolution = p.mUseFlatbed || across ? QString() : QStringLiteral(" in %1 at %2 dpi").arg(QLatin1String(typeName)).arg(p.mXRes);
  const QString most = inUnit(limit.limit), value = inUnit(limit.value) + unit;
  QString text;
  if (limit.kind == ExceededLimit::kPaperAcross || limit.kind == ExceededLimit::kPaperAlong) {
    const QString key = widthKey ? QStringLiteral("PaperWidth") : QStringLiteral("PaperHeight");
    text = QStringLiteral("The setting %1 is %2; the %3's %4 takes paper at most %5%6 %7%8. Set %1 to %5 or less.")
               .arg(key, value, model, where, most, unit, across ? QStringLiteral("wide") : QStringLiteral("long"), atResolution);
  } else {
    const QString keys = widthKey ? QStringLiteral("ScanLeft plus ScanWidth") : QStringLiteral("ScanTop plus ScanHeight");
    text = QStringLiteral("The scan area (%1) reaches %2; the %3's %4 takes at most %5%6 %7%8. Make %1 %5 or less.")
               .arg(keys, value, model, where, most, unit, across ? QStringLiteral("across") : QStringLiteral("along"), atResolution);
  }
  return text.toStdString();
}

}  // namespace

ScanJob_InProcess::ScanJob_InProcess(ScanJobController* controller)
    : ScanJob_Base(controller), mMainContext(std::make_unique<QObject>()) {
  if (QCoreApplication* app = QCoreApplication::instance()) mMainContext->moveToThread(app->thread());
}

ScanJob_InProcess::~ScanJob_InProcess() {
  bool running;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mSilenced = true;
    running = mRunning;
  }
  if (running) {
    stopScan();
    waitForScanEnd();
  }
  // Calls still queued are dropped with the context; the pixels of their
  // previews are freed here.
  mMainContext.reset();
  for (Report& report : mReports)
    if (report.isPreview) std::free(report.page.data);
}

bool ScanJob_InProcess::onMainThread() const { return QThread::currentThread() == mMainContext->thread(); }

std::optional<ScannerInfo> ScanJob_InProcess::findScanner() {
  const std::vector<ScannerDescT> scanners = Device::EnumerateScanners();
  if (scanners.empty()) return std::nullopt;
  const ScannerDescT& first = scanners.front();
  ScannerInfo info;
  info.modelName = QString::fromUtf8(first.mModelName ? first.mModelName : "");
  info.supported = true;
  info.vendor = first.mVendorId;
  info.product = first.mProductId;
  info.location = first.mLocationId;
  const ProductSettings* row = Device::GetProductById(first.mProductId);
  if (!row) return info;
  // The capability lines the tool prints for the application's window,
  // read as the window reads them: both front ends see the same record.
  quirel::frontend::ApplyCapabilities(QString::fromStdString(Device::CapabilityLines(*row)), &info);
  info.multipleScanners = scanners.size() > 1;
  return info;
}

int32_t ScanJob_InProcess::getDim(double value) const {
  const double v = controller()->settings().mUsingMetric ? value / 25.4 * 1200 : value * 1200;
  if (!(v > 0)) return 0;  // negative, zero or not a number
  if (v >= double(INT32_MAX)) return INT32_MAX;
  return int32_t(std::round(v));
}

void ScanJob_InProcess::setParams() {
  const Quirel_Settings& s = controller()->settings();
  const bool flipped = s.dimsFlipped();
  const bool autoLength = s.autoLength();

  ImageTypeE type = kImageTypeColor;
  int bits = 8;
  switch (s.mScanTypeTag) {
    case 1: type = kImageTypeLineArt, bits = 1; break;
    case 4: type = kImageTypeGray, bits = 4; break;
    case 8: type = kImageTypeGray, bits = 8; break;
    case 12: type = kImageTypeColor, bits = 4; break;
    default: break;
  }
  ScanParams p(type);
  p.SetBitsOut(bits);

  p.mFileType = s.mFileType == 2 ? kFileTypePDF : kFileTypeTIFF;
  // Deflate for gray and colour TIFF; line art is always Group 4.
  p.mCompressOption = s.mFileType == 3 && s.mScanTypeTag != 1 ? 1 : 0;
  // A point of 0 is no point at all (the settings' own rule, which keeps it
  // off the tool's command line): the engine's default stands then, as in
  // the application's scans.
  if (s.blackPoint() > 0) p.mBlackPoint = s.blackPoint();
  if (s.whitePoint() > 0) p.mWhitePoint = s.whitePoint();
  p.mXRes = p.mYRes = uint16_t(s.mResolution);
  if (s.turboLineArt()) {
    p.mTurbo = true;
    p.mTurboXScale = 0.0;
  }
  p.mDuplex = s.duplex();
  p.mSkipFirstPage = s.skipFirst();
  p.mSkipLastPage = s.skipLast();

  p.mPaperWidth = uint32_t(getDim(flipped ? s.mPaperLength : s.mPaperWidth));
  p.mPaperHeight = autoLength ? 0 : uint32_t(getDim(flipped ? s.mPaperWidth : s.mPaperLength));
  if (s.mScanFullPage) {
    p.mUpperLeftX = 0;
    p.mUpperLeftY = 0;
    p.mScanWidth = p.mPaperWidth;
    if (!autoLength) p.mScanHeight = p.mPaperHeight;
  } else {
    p.mUpperLeftX = uint32_t(getDim(flipped ? s.mScanTop : s.mScanLeft));
    p.mScanWidth = uint32_t(getDim(flipped ? s.mScanHeight : s.mScanWidth));
    p.mUpperLeftY = uint32_t(getDim(flipped ? s.mScanLeft : s.mScanTop));
    if (!autoLength) p.mScanHeight = uint32_t(getDim(flipped ? s.mScanWidth : s.mScanHeight));
  }
  p.mRotation = (s.mOrientation >= 0 && s.mOrientation < 8) ? kRotations[s.mOrientation % 4][s.flipBacks() ? 1 : 0] : 0;
  // The area is given on the page as it comes out, the scanner's window on
  // the sheet, as the tool takes the window's command line.
  mAreaOffThePage.clear();
  if (!s.mScanFullPage) {
    const AreaOnSheet onSheet = PageAreaOnSheet(int(p.mRotation >> 2), p.mPaperWidth, p.mPaperHeight, autoLength,
                                                p.mUpperLeftX, p.mUpperLeftY, p.mScanWidth, p.mScanHeight);
    if (onSheet.fit == AreaOnSheet::kOnPage) {
      p.mUpperLeftX = uint32_t(onSheet.left);
      p.mUpperLeftY = uint32_t(onSheet.top);
    } else {
      // Named as the parameters file names the settings, which describe the
      // sheet: a quarter turn swaps them.
      const bool across = (onSheet.fit == AreaOnSheet::kPastRight) != flipped;
      mAreaOffThePage = QStringLiteral("The scan area (%1) runs past the %2 edge of the turned page; on a turned page "
                                       "the area must lie on the page. Make %1 %3%4 or less.")
                            .arg(across ? QStringLiteral("ScanLeft plus ScanWidth") : QStringLiteral("ScanTop plus ScanHeight"),
                                 onSheet.fit == AreaOnSheet::kPastRight ? QStringLiteral("right") : QStringLiteral("bottom"),
                                 QString::number(across ? s.mPaperWidth : s.mPaperLength, 'g', 10),
                                 s.mUsingMetric ? QStringLiteral(" mm") : QStringLiteral(" inches"))
                            .toStdString();
    }
  }

  if (s.threshold() >= 0) p.mThreshold = uint8_t(s.threshold() & 0xFF);
  if (s.despeckle() > 0) p.mDespeckleFactor = s.despeckle();
  p.mDtcVariation = s.dynamicThreshold() ? 'd' : 'n';
  p.mDetectLength = autoLength;
  p.mUseFlatbed = s.mFlatbed;
  p.mAppend = s.appending();
  p.mDoubleByThickness = !s.mFlatbed && s.mDoubleThickness;
  p.mDoubleByLength = !s.mFlatbed && s.mDoubleLength;

  p.mProgramDescription = kProgramDescription;
  p.mBaseFilePath = s.filePath().toStdString();

  auto previewSide = [](double v) { return !(v > 0) ? int16_t(0) : v >= 32767 ? int16_t(32767) : int16_t(v); };
  p.mPreviewWidth = previewSide(s.mPreviewWidth);
  p.mPreviewHeight = previewSide(s.mPreviewHeight);
  // The density factor weighs the line-art threshold only where the
  // settings ask for density thresholding, as in the application's scans;
  // otherwise the stored factor (1.1 by default) would make the action's
  // line art darker than the application's for the same settings.
  if (s.mScanTypeTag == 1 && s.mDensityThreshold) p.mDensityFactor = s.mDensityFactor;

  mScanParams = std::move(p);
}

void ScanJob_InProcess::startScan() {
  // A run whose thread has ended but that nobody waited for is finished
  // (reported and freed) first: the engine admits one job at a time.
  bool previousEnded = false, previousRunning = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    previousRunning = mRunning;
    previousEnded = mRunning && mThreadEnded;
  }
  if (previousEnded) {
    waitForScanEnd();
    previousRunning = false;
  }

  logScanStart(controller()->settings().getArgsString());
  if (previousRunning) {
    // The running scan goes on and is reported as usual; this one is
    // refused with a failure of its own.
    ScanResultsWrapper refused;
    refused.scanResults()->mStatus = kScanErrorMessage;
    refused.scanResults()->mErrorMsg = std::string(kEngineJobFailedText) + "another scan is still running.";
    postCompletion(std::move(refused), false);
    return;
  }

  setParams();
  mErrStrm.str("");
  mErrStrm.clear();
  mScanParams.mPageScannedFunc = [this](const PagePreview* preview) { pageScanned(preview); };
  mScanParams.mScanCompleteFunc = [this](const ScanResults* results) { scanCompleteBg(results); };
  mColourPreviews = mScanParams.mImageType == kImageTypeColor;
  gStopNow.store(false);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mRunning = true;
    mThreadEnded = false;
    mReported = false;
    mEngineStatus = 0;
    mJoinDirectly = false;
  }

  // Settings the engine cannot take, and an output that cannot be made or
  // appended to, are refused before the scanner is touched, as the tool
  // refuses them: neither may cost a sheet.
  int32_t refusal = kScanErrorMessage;
  std::string failure = OutOfRange(controller()->settings());
  if (failure.empty()) failure = mAreaOffThePage;
  if (failure.empty()) failure = BeyondTheModel(mScanParams, controller()->settings());
  if (failure.empty()) {
    const OutputCheck output = CheckOutputTarget(mScanParams);
    refusal = output.mStatus != 0 ? output.mStatus : refusal;
    failure = output.mText;
  }
  if (failure.empty()) {
    try {
      mScanJob = std::make_unique<ScanJob>(&mScanParams, false, nullptr, &mErrStrm);
    } catch (const char* what) {
      failure = what;
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unknown failure";
    }
    if (!failure.empty()) failure = std::string(kEngineJobFailedText) + failure + ".";
  }
  if (!failure.empty()) {
    // No engine job: the run ends at once, reported as a failure.
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mThreadEnded = true;
      mEngineStatus = refusal;
    }
    ScanResultsWrapper failed;
    failed.scanResults()->mStatus = refusal;
    failed.scanResults()->mErrorMsg = failure;
    postCompletion(std::move(failed));
    return;
  }

  try {
    ScanJob* job = mScanJob.get();
    mWaiter = std::thread([this, job] {
      const int status = job->WaitForScan();
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mEngineStatus = status;
        mThreadEnded = true;
      }
      mChanged.notify_all();
    });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(mMutex);
    mJoinDirectly = true;
  }
}

void ScanJob_InProcess::stopScan() {
  // A sequentially consistent store: the full barrier the scan thread's
  // polling relies on.
  gStopNow.store(true, std::memory_order_seq_cst);
}

void ScanJob_InProcess::waitForScanEnd() {
  bool joinDirectly;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mRunning) return;  // nothing started, or already waited for
    joinDirectly = mJoinDirectly && !mThreadEnded;
  }
  if (joinDirectly) {
    const int status = mScanJob->WaitForScan();
    std::lock_guard<std::mutex> lock(mMutex);
    mEngineStatus = status;
    mThreadEnded = true;
  }

  if (onMainThread()) {
    // The scan thread waits for its completion to be handled here, so this
    // thread handles it (and the previews queued before it) while it waits.
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [this] { return mThreadEnded || mPostedCompletions > 0; });
        if (mThreadEnded && mPostedCompletions == 0) break;
      }
      waitForPostedCompletions();
    }
  } else {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait(lock, [this] { return mThreadEnded && mPostedCompletions == 0; });
  }

  if (mWaiter.joinable()) mWaiter.join();
  // The engine job is freed only now that its thread has ended, and so is
  // gone before the next run starts.
  mScanJob.reset();

  bool reported;
  int status;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    reported = mReported;
    status = mEngineStatus;
  }
  if (!reported) {
    // The engine ended without its completion (a stop before the scanner
    // was found ends that way): the run still ends through scanFinished,
    // and never as a success unless it was stopped.
    ScanResultsWrapper ended;
    ScanResults& r = *ended.scanResults();
    if (status == 0 && gStopNow.load()) {
      r.mStatus = 0;
      r.mEnd = kScanEndStopped;
    } else {
      r.mStatus = status != 0 ? status : kScanErrorMessage;
      std::string text = mErrStrm.str();
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      r.mErrorMsg = text.empty() ? kNoResultsText : text;
    }
    postCompletion(std::move(ended));
    waitForPostedCompletions();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  mRunning = false;
}

void ScanJob_InProcess::pageScanned(const PagePreview* preview) {
  if (!preview) return;
  Report report;
  report.isPreview = true;
  report.page.data = static_cast<uint8_t*>(preview->mBitMap);
  report.page.width = preview->mWidth;
  report.page.height = preview->mHeight;
  report.page.depth = mColourPreviews ? 4 : 1;
  report.page.rowBytes = preview->mRowBytes;
  postReport(std::move(report));
}

void ScanJob_InProcess::scanCompleteBg(const ScanResults* results) {
  postCompletion(ScanResultsWrapper::createWithScanResults(results));
  waitForPostedCompletions();
}

void ScanJob_InProcess::postCompletion(ScanResultsWrapper wrapper, bool endsRun) {
  Report report;
  report.results = std::move(wrapper);
  report.endsRun = endsRun;
  postReport(std::move(report));
}

void ScanJob_InProcess::postReport(Report report) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!report.isPreview) ++mPostedCompletions;
    mReports.push_back(std::move(report));
  }
  mChanged.notify_all();
  // One call per report; each hands over the oldest report, so reports
  // from several threads still arrive in the order they were queued here.
  QMetaObject::invokeMethod(mMainContext.get(), [this] { deliverNextReport(); }, Qt::QueuedConnection);
}

void ScanJob_InProcess::deliverNextReport() {
  Report report;
  bool silenced;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mReports.empty()) return;
    report = std::move(mReports.front());
    mReports.pop_front();
    silenced = mSilenced;
    if (!report.isPreview && report.endsRun) mReported = true;
  }
  if (report.isPreview) {
    // The receiver owns the pixels; nobody receives them once the job is
    // going away.
    if (silenced)
      std::free(report.page.data);
    else
      controller()->receivePreview(report.page);
    return;
  }
  if (!silenced) scanCompleteFg(report.results);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    --mPostedCompletions;
  }
  mChanged.notify_all();
}

void ScanJob_InProcess::waitForPostedCompletions() {
  if (!onMainThread()) {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait(lock, [this] { return mPostedCompletions == 0; });
    return;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (mPostedCompletions == 0) return;
    }
    QCoreApplication::sendPostedEvents(mMainContext.get(), QEvent::MetaCall);
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (mPostedCompletions == 0) return;
    }
    // Counted but not queued yet: the posting thread is about to queue it.
    QThread::yieldCurrentThread();
  }
}

void ScanJob_InProcess::scanCompleteFg(const ScanResultsWrapper& wrapper) {
  const ScanResults results = *wrapper.scanResults();
  // The status the tool reports for the same results.
  const int32_t code = ProgramStatus(results);
  const QString msg = results.mTotalPages == 1 ? QStringLiteral("1 page scanned.")
                                               : QString::asprintf("%d pages scanned.", int(results.mTotalPages));
  const QString err = QString::fromStdString(results.mErrorMsg);
  controller()->scanFinished(code, false, msg, err);
}

}  // namespace quirel::action
