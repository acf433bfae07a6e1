// The page loop: loads sheet after sheet, starts the scan, reads the image
// data of one or both sides in chunks, decides where each side and page
// ends, watches for paper errors, double feeds, an empty hopper and the stop
// request, and hands every chunk to the document task, which assembles and
// writes the pages on worker threads.
#include <cstdlib>
#include <algorithm>
#include <iostream>
#include <string>

#include "FujiCmds.h"
#include "HiResTimer.h"
#include "HostClock.h"
#include "ScanDocumentTask.h"
#include "ScanJob.h"

namespace ZuzuvovOvav {

namespace {

constexpr int kJpegMaxRead = 65536;
constexpr int kControl9Tries = 25;
// After a stop request, how long a sheet may go without data before the loop
// gives up on it: a scanner that answers "not ready" for ever must not keep
// a stopped job alive, while one that is merely slow between two chunks
// still gets its sheet finished.
constexpr double kStopWaitSeconds = 3.0;

}  // namespace

void ScanJob::ScanPagesTilDone(Device& device, const ScanParams& p) {
  const bool readChecks = device.ImplementsReadCheck();
  const bool flatbed = p.mUseFlatbed;
  const bool duplex = p.mDuplex;
  const bool jpeg = p.mWillUseJpeg;
  const bool interleaved = p.mJpegInterleave;
  const WhichWindowE frontWindow = kWindowFront;
  const WhichWindowE backWindow = interleaved ? kWindowFront : kWindowBack;
  const bool oneStream = !duplex || interleaved;
  const int maxRead = int(device.GetMaxReadSize());

  bool moreSheets = true;
  bool interrupted = false;
  int doubleFeeds = 0;
  unsigned long long bytesRead = 0;
  double readSeconds = 0;
  double lastData = HiResTimer::GetSeconds();
  double stopSeenAt = -1;  // when the read loop first saw the stop request

  Cmd_ObjectPosition load(device, Cmd_ObjectPosition::kLoad);
  Cmd_Scan scan(device, p);

  if (!flatbed) {
    if (CommandOutcome loaded = SendCommand(load); !loaded.Good()) {
      char text[kMaxErrorText];
      std::snprintf(text, sizeof text, "Failed to load page: %s", loaded.Text());
      SetErr(text);
      return;
    }
  }
  if (!Succeeded(SendCommand(scan))) return;

  DocumentTask doc(p, ColorOrderE(device.BestColorOrder()), ColorPlanarE(device.ColorInterleave()));
  if (gVerbose)
    std::clog << "dochecks: " << readChecks << ", flatbed: " << flatbed << ", duplex: " << duplex << ", jpeg: " << jpeg
              << ", interleave: " << interleaved << std::endl;

  // A READ or size-read transport failure ends the loop at once. The pages
  // the document task holds are still written (its flush closes the current
  // page as the last one), and the job's results tell the files and pages
  // that really exist.
  bool readFailed = false;
  // READ pixel size; a failure ends the loop like a failed READ.
  auto sizeRead = [&](Cmd_ReadPixelSize& size) {
    if (Succeeded(SendCommand(size))) return true;
    readFailed = true;
    return false;
  };

  while (moreSheets) {
    doc.OpenPage();
    const uint32_t sideBytes = jpeg ? 0x7FFFFFFF : p.mBytesPerPage;
    uint32_t remaining[3] = {0, sideBytes, (duplex && !interleaved) ? sideBytes : 0};
    int side = kSideFront;
    bool ended[3] = {false, false, !duplex || interleaved};
    bool check[3] = {false, true, duplex && !interleaved};
    int paperLength = -1;
    int readCount = 0;
    bool paperErrorOnSheet = false;
    // When this sheet last delivered image data (its start before that).
    // lastData cannot serve: a "not ready" answer sets it too.
    double lastProgress = HiResTimer::GetSeconds();
    bool abandoned = false;

    // The check flag that governs a side (interleaved data shares the front's).
    auto checkFlag = [&](int s) -> bool& { return (s == kSideFront || interleaved) ? check[kSideFront] : check[kSideBack]; };

    while (!(ended[kSideFront] && ended[kSideBack])) {
      const WhichWindowE window = side == kSideFront ? frontWindow : backWindow;
      int readLen = int(std::min<uint32_t>(remaining[side], uint32_t(maxRead)));
      if (!jpeg) {
        if (uint32_t(maxRead) < remaining[side]) {
          if (p.mImageType == kImageTypeColor)
            readLen -= readLen % 6;
          else
            readLen &= ~1;
        }
      } else if (readLen > kJpegMaxRead) {
        readLen = kJpegMaxRead;
      }

      bool readSent = false;
      bool endOfSidePass = false;
      int scanLenToSet = -1;
      Result readResult;
      std::string readSenseMsg;
      if (readLen > 0) {
        bool ready = true;
        if (readChecks && checkFlag(side)) {
          Cmd_ReadImageCheck rc(device, window, readLen);
          rc.SendToScanner();
          if (IsDataNotReady(rc.mResult)) {
            lastData = HiResTimer::GetSeconds();
            ready = false;
          } else {
            quirel::host::SleepMicros(1000);
          }
        }
        if (ready) {
          Cmd_ReadImage read(device, window, readLen);
          double t0 = HiResTimer::GetSeconds();
          const CommandOutcome sent = SendCommand(read);
          lastData = HiResTimer::GetSeconds();
          readSeconds += lastData - t0;
          readSent = true;
          checkFlag(side) = false;
          readResult = read.mResult;
          readSenseMsg = read.mSenseMsg;
          if (sent.Good()) {
            uint32_t got = read.mResult.mXferCount;
            remaining[side] = got >= remaining[side] ? 0 : remaining[side] - got;
          }
          ++readCount;
          if (sent.TransportFailed()) {
            SetErr(sent.Text());
            readFailed = true;
            break;
          }
          if (IsEndOfSide(read.mResult)) {
            // End of side: the scanner tells the real size of what it sent.
            endOfSidePass = true;
            Cmd_ReadPixelSize size(device);
            if (!sizeRead(size)) break;
            remaining[side] = 0;
            ended[side] = true;
            bool bothEnded = ended[kSideFront] && ended[kSideBack];
            scanLenToSet = (p.mDetectLength && bothEnded) ? int(size.mPaperLength) : -1;
          } else if (p.mDetectLength && paperLength < 0 && device.LengthDetectUsesSizeRead() && readCount % 8 == 0) {
            Cmd_ReadPixelSize size(device);
            if (!sizeRead(size)) break;
            if (size.mPaperLength < p.mBufHeightRaw) {
              paperLength = int(size.mPaperLength);
              if (gVerbose) std::clog << "checked paper len: " << paperLength << std::endl;
            }
          }
          if (sent.Good() || endOfSidePass) {
            uint32_t got = read.mResult.mXferCount;
            bytesRead += got;
            if (got > 0) lastProgress = lastData;
            bool eoi = doc.AppendBytes(interleaved ? kSideFront : side, read.AdoptRcvBytes(), int(got));
            if (gVerbose && eoi) std::clog << "end of image seen" << std::endl;
          }
        }
      }

      if (paperLength >= 0 && paperLength <= doc.GetCurScanLen()) {
        ended[side] = true;
        remaining[side] = 0;
        scanLenToSet = paperLength;
        if (gVerbose) std::clog << "end of page detected by read of paper len" << std::endl;
      }
      if (ended[kSideFront] && ended[kSideBack]) doc.SetScanLen(scanLenToSet);

      if (remaining[kSideFront] == 0 && remaining[kSideBack] == 0 && !(ended[kSideFront] && ended[kSideBack])) {
        doc.SetScanLen(-1);
        ended[kSideFront] = ended[kSideBack] = true;
      }

      if (readSent && !(ended[kSideFront] && ended[kSideBack])) {
        const Result& r = readResult;
        if (IsDataNotReady(r)) {
          checkFlag(side) = true;
        } else if (r.mStatus == kScsiGood) {
          // data arrived; nothing to decide
        } else if (IsNoSenseCondition(r)) {
          if (IsEndOfMedium(r) && !endOfSidePass) {
            ended[kSideFront] = true;
            remaining[kSideFront] = 0;
            moreSheets = false;
          }
        } else if (!endOfSidePass) {
          ended[kSideFront] = true;
          remaining[kSideFront] = 0;
          moreSheets = false;
          if (IsPaperError(r)) {
            mJobStatus = kScanPageDiscarded;
            paperErrorOnSheet = true;
          }
          if (r.mSenseKey != kSenseNone) SetErr(readSenseMsg.c_str());
        }
      }
      // After a read error ended the front, the back of a sheet with
      // separate windows still reads until its own end; a back that answers
      // with an error of its own (no data, not "not ready", no end of side)
      // ends too, so that a scanner that keeps failing cannot keep the loop
      // spinning.
      if (readSent && side == kSideBack && !moreSheets && duplex && !interleaved && ended[kSideFront] &&
          !ended[kSideBack] && readResult.mStatus != kScsiGood && !IsDataNotReady(readResult) && !endOfSidePass) {
        ended[kSideBack] = true;
        remaining[kSideBack] = 0;
      }

      // A side can also end without a READ in this pass (the paper length
      // was reached while its data was not ready): then the other side is
      // read next, or the loop would ask the ended side for nothing for ever.
      if (readSent || remaining[side] == 0) {
        if (side == kSideBack || oneStream)
          side = remaining[kSideFront] != 0 ? kSideFront : kSideBack;
        else
          side = remaining[kSideBack] != 0 ? kSideBack : kSideFront;
      }

      // A stop request while a side waits for data that does not come: the
      // sheet is given up once it has had no data for kStopWaitSeconds
      // since the request (or since its last data, when that came later).
      if (!(ended[kSideFront] && ended[kSideBack]) && StopRequested()) {
        const double now = HiResTimer::GetSeconds();
        if (stopSeenAt < 0) stopSeenAt = now;
        if (now - std::max(lastProgress, stopSeenAt) >= kStopWaitSeconds) {
          abandoned = true;
          break;
        }
      }

      if (!(ended[kSideFront] && ended[kSideBack])) {
        long long elapsed = (long long)((HiResTimer::GetSeconds() - lastData) * 1e6);
        if (elapsed < 0) AssertFailed(__LINE__, __FILE__, "elapsed >= 0");
        bool backReadable = duplex && !interleaved && readChecks && !check[kSideBack];
        long long neither = device.ReadDataNeitherSideDelayMicroSecs();
        long long single = device.ReadDataSingleSideDelayMicroSecs();
        if (check[kSideFront] && !backReadable && elapsed < neither) {
          quirel::host::SleepMicros(uint64_t(neither - elapsed));
        } else if (checkFlag(side) && elapsed < single) {
          quirel::host::SleepMicros(uint64_t(single - elapsed));
        }
      }
    }
    // The whole loop ends at once: no end-of-page sequence, no close of the
    // sheet here (the flush below closes it as the last page).
    if (readFailed) break;

    // A sheet given up after a stop request is incomplete: it is discarded
    // and no further sheet is loaded. The job ends as any stopped job does
    // (status 0 with the interrupt noted), the earlier pages written.
    if (abandoned) {
      if (gVerbose) std::clog << "interrupt detected while waiting for data, sheet given up" << std::endl;
      if (mOutStrm)
        *mOutStrm << "Stop requested while the scanner was not ready; the sheet it held was not scanned."
                  << std::endl;
      if (!interrupted && device.NeedToSpecifyPrepick()) {
        Cmd_ScannerControl c13(device, Cmd_ScannerControl::kControl13);
        c13.SendToScanner();
      }
      interrupted = true;
      moreSheets = false;
      doc.CloseSide(kSideFront, kCloseLastPage | kCloseDiscard);
      if (duplex) doc.CloseSide(kSideBack, kCloseLastPage | kCloseDiscard);
      break;
    }

    // End-of-page sequence (feeder only: the flatbed holds one sheet).
    if (flatbed) {
      moreSheets = false;
    } else {
      if (device.CanContinueAfterDouble()) {
        bool ok = false;
        for (int i = 0; i < kControl9Tries; ++i) {
          Cmd_ScannerControl c9(device, Cmd_ScannerControl::kControl9);
          const CommandOutcome sent = SendCommand(c9);
          if (sent.Good()) {
            ok = true;
            break;
          }
          if (sent.ScannerFailed() && IsUnitNotReady(c9.mResult)) {
            quirel::host::SleepMicros(200000);
            continue;
          }
          NoteCause(sent);
          break;
        }
        if (ok && p.mAllowDoubles) {
          Cmd_GetHardwareStatus hs(device);
          hs.SendToScanner();
          doubleFeeds += hs.mDoubleFeed ? 1 : 0;
        }
      }
      if (StopRequested() && !interrupted) {
        if (gVerbose) std::clog << "interrupt detected, no longer loading & scanning" << std::endl;
        interrupted = true;
        if (device.NeedToSpecifyPrepick()) {
          Cmd_ScannerControl c13(device, Cmd_ScannerControl::kControl13);
          c13.SendToScanner();
        } else {
          moreSheets = false;
        }
      }
      if (moreSheets) {
        if (gVerbose) std::clog << "loading next page" << std::endl;
        const CommandOutcome loaded = SendCommand(load);
        if (loaded.Good()) {
          NoteCause(SendCommand(scan));
        } else if (loaded.ScannerFailed() && IsHopperEmpty(load.mResult)) {
          moreSheets = false;
        } else {
          moreSheets = false;
          NoteCause(loaded);
          if (loaded.ScannerFailed() && IsFeederError(load.mResult)) mJobStatus = kScanPageDiscarded;
        }
      }
    }

    // Only a sheet whose own reading hit the paper error is discarded. A
    // paper error when loading the next sheet (cover open, jam at the
    // pick-up) still ends the job with status 6, but the sheet read before
    // it was scanned whole and is written.
    int options = (moreSheets ? 0 : kCloseLastPage) | (paperErrorOnSheet ? kCloseDiscard : 0);
    doc.CloseSide(kSideFront, options);
    if (duplex) doc.CloseSide(kSideBack, options);
    // After a failed write the stop request makes the end-of-page sequence
    // of the sheet already loaded end the scan.
    if (doc.WriteFailed()) gStopNow.store(true);
  }

  if (interrupted && !readFailed) {
    Cmd_ScannerControl c4(device, Cmd_ScannerControl::kControl4);
    c4.SendToScanner();
    if (!device.NeedToSpecifyPrepick()) {
      Cmd_ObjectPosition reload(device, Cmd_ObjectPosition::kLoad);
      reload.SendToScanner();
      Cmd_ObjectPosition unload(device, Cmd_ObjectPosition::kUnload);
      unload.SendToScanner();
    }
  }

  mResults = doc.Flush();
  mResults.mDoubleFeeds = doubleFeeds;

  if (doc.WriteFailed()) {
    gStopNow.store(true);
    std::string sideError = doc.SideError();
    if (!sideError.empty()) {
      // A side that could not be assembled: the job ends with its reason,
      // after any text already there. When a READ failed first, the side
      // is only the half-read sheet of that failure: the READ stays the
      // cause and the job keeps the status it has.
      if (!readFailed) mJobStatus = kScanWriteFailed;
      if (mErrBuf[0]) {
        std::string joined = std::string(mErrBuf) + " " + sideError;
        SetErr(joined.c_str());
      } else {
        SetErr(sideError.c_str());
      }
    } else {
      const bool tooLarge = mResults.mStatus == kStatusFileTooLarge;
      const bool diskFull = mResults.mStatus == kStatusDiskFull;
      // An output file that cannot be made or appended to keeps its own status.
      const bool fileError = mResults.mStatus == kStatusFileError;
      mJobStatus = tooLarge || diskFull || fileError ? int(mResults.mStatus) : kScanWriteFailed;
      const char* text = tooLarge   ? "Failed to write page, file too large."
                         : diskFull ? "Failed to write page, disk full."
                                    : "Failed to write page.";
      if (readFailed && mErrBuf[0]) {
        // The READ that failed is the first cause; the write failure of
        // the page flushed after it is the second.
        std::string joined = std::string(mErrBuf) + " " + text;
        SetErr(joined.c_str());
      } else {
        SetErr(text);
      }
    }
  }

  if (gVerbose)
    std::clog << bytesRead << " image bytes read in " << readSeconds << " seconds, "
              << (readSeconds > 0 ? double(bytesRead) / readSeconds / 1e6 : 0.0) << " mb per second avg" << std::endl;
}

}  // namespace ZuzuvovOvav
