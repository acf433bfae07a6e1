// PageLoop: the page loop of a scan, one member function per step.
//
// The heart of a scan, run by ScanJob::ScanPagesTilDone once the
// scanner is set up. It loads sheet after sheet, starts the scan, reads the
// image data of one or both sides in chunks, decides where each side and
// page ends, watches for paper errors, double feeds, an empty hopper and the
// stop request, and hands every chunk to the document task, which assembles
// and writes the pages on worker threads (ScanDocumentTask.h).
//
// Its member functions follow the loop's steps in order: start (load and
// SCAN), per sheet open, read (length, readiness check, READ, end of side,
// length detection, hand-over, ends, status, next side, waiting), the
// end-of-page sequence (double-feed status, stop, next load), close; at the
// end the interrupted scanner's clean-up and the results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FujiCmds.h"

namespace ZuzuvovOvav {

class DocumentTask;
class ScanJob;

class PageLoop {
 public:
  // The job receives the loop's texts, status and results.
  PageLoop(ScanJob& job, Device& device, const ScanParams& params);
  ~PageLoop();
  PageLoop(const PageLoop&) = delete;
  PageLoop& operator=(const PageLoop&) = delete;

  void Run();
  // After Run left by std::bad_alloc: ends the job with the pages written
  // so far and a text saying why.
  void FinishAfterOutOfMemory();

 private:
  // Per side and sheet.
  struct SideState {
    uint32_t mRemaining = 0;  // bytes still expected
    uint32_t mGot = 0;        // bytes handed over on this sheet
    bool mCut = false;        // a failure ended the side before its data did
    bool mEnded = false;
    bool mCheck = false;  // ask READ IMAGE CHECK and wait before the next READ
    WhichWindowE mWindow = kWindowFront;
  };

  // What one pass of the read loop learned from its READ.
  struct ReadPass {
    bool mSent = false;
    bool mEndOfSide = false;  // the READ reported the side's end
    int mScanLenToSet = -1;   // the length to set when both sides have ended (-1: as read)
    bool mNoMemory = false;   // the READ failed for want of memory for its data
    Result mResult;
    std::string mSenseMsg;
  };

  // How reading a sheet ended. kDataLost: a READ found no memory for its
  // data, so the sheet cannot be completed.
  enum class SheetEndE { kRead, kReadFailed, kDataLost, kAbandoned };

  bool StartScan();
  static bool IsPaperFault(const CommandOutcome& loaded, const Result& r);
  bool ScanSheet();
  void OpenSheet();
  SheetEndE ReadSheet();
  int ReadLength() const;
  bool DataReady(int readLen);
  bool Read(int readLen, ReadPass* pass);
  bool ReadPixelSize(Cmd_ReadPixelSize* size);
  void HandOver(Cmd_ReadImage* read);
  void CheckEnds(const ReadPass& pass);
  void JudgeReadStatus(const ReadPass& pass);
  void EndBackAfterError(const ReadPass& pass);
  void NextSide(const ReadPass& pass);
  bool StopGivesUpSheet();
  void WaitForData();
  void AbandonSheet();
  // Closes the sheet's sides as the job's last page, unwritten.
  void DiscardSheet();
  void EndOfPage();
  void ReleaseSheet();
  void CheckStop();
  void LoadNextSheet();
  void CloseSheet();
  bool CleanUpAfterStop();
  void Finish();
  void ReportWriteFailure();

  SideState& Side(int side) { return side == kSideFront ? mFront : mBack; }
  const SideState& Side(int side) const { return side == kSideFront ? mFront : mBack; }
  // The check flag that governs a side (interleaved data shares the front's).
  bool& CheckFlag(int side) { return (side == kSideFront || mInterleaved) ? mFront.mCheck : mBack.mCheck; }
  bool BothEnded() const { return mFront.mEnded && mBack.mEnded; }
  // Neither ended nor with every byte it expected.
  static bool Unfinished(const SideState& side) { return !side.mEnded && side.mRemaining != 0; }
  void SendControl(Cmd_ScannerControl::ControlFuncE function);

  ScanJob& mJob;
  Device& mDevice;
  const ScanParams& mParams;
  const bool mReadChecks;
  const bool mFlatbed;
  const bool mDuplex;
  const bool mJpeg;
  const bool mInterleaved;
  const bool mOneStream;
  const uint32_t mMaxRead;
  Cmd_ObjectPosition mLoad;
  Cmd_Scan mScan;
  std::unique_ptr<DocumentTask> mDoc;

  // Per job.
  bool mMoreSheets = true;
  bool mInterrupted = false;
  bool mReadFailed = false;
  bool mFinished = false;  // the document's results are taken
  // The feed ran to its end: the hopper ran empty, the scanner reported the
  // end of the paper, or the flatbed's sheet was read.
  bool mFeedEnded = false;
  bool mCleanedUp = false;  // the interrupted scanner was told to stop
  int mSheet = 0;           // sheets opened, from 1
  int mDoubleFeeds = 0;
  unsigned long long mBytesRead = 0;
  double mReadSeconds = 0;
  double mLastData;          // when data last came or the scanner last said it had none
  double mStopSeenAt = -1;   // when the read loop first saw the stop request

  // Per sheet.
  SideState mFront;
  SideState mBack;
  int mSide = kSideFront;
  int mPaperLength = -1;
  int mReadCount = 0;
  bool mPaperErrorOnSheet = false;
  double mLastProgress = 0;  // when this sheet last delivered image data
};

}  // namespace ZuzuvovOvav
