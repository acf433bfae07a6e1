#include "ScanDocumentTask.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "ZLibTask.h"

namespace ZuzuvovOvav {

namespace {

// The document queue, started on first use (a scan job starts it before it
// touches the scanner) and kept for the life of the process.
int DocumentWorkers() { return kDocumentQueueWorkers; }
constinit ProcessTaskQ sTaskQ(&DocumentWorkers);

}  // namespace

TaskQ& DocumentQueue() { return *sTaskQ.GetOrThrow(); }

bool StartEngineQueues(std::string* error) {
  std::string why;
  if (!sTaskQ.Get(&why) || !StartZLibTaskQ(&why)) {
    *error = "Cannot start the scan engine's worker threads (" + why + ").";
    return false;
  }
  return true;
}

namespace {

const char* SideName(int side) { return side == kSideFront ? "front" : "back"; }

}  // namespace

QCmdT::~QCmdT() { std::free(mBytes); }

void DocumentFailure::SetSideError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mSideError.empty()) mSideError = text;
}

std::string DocumentFailure::SideError() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mSideError;
}

// ---- SectionBaseTask ----

SectionBaseTask::SectionBaseTask(DocumentFailure* failure) : Task(&DocumentQueue()), mAbortFlag(failure) {
  if (pthread_cond_init(&mCmdCond, nullptr) != 0) throw "pthread_cond_init failed";
}

SectionBaseTask::~SectionBaseTask() noexcept(false) {
  Join();
  for (QCmdT* cmd : mCmds) delete cmd;
  mCmds.clear();
  pthread_cond_destroy(&mCmdCond);
}

void SectionBaseTask::LockCmds() {
  if (pthread_mutex_lock(&mMutex) != 0) throw "pthread_mutex_lock failed";
}

void SectionBaseTask::UnlockCmds() {
  if (pthread_mutex_unlock(&mMutex) != 0) throw "pthread_mutex_unlock failed";
}

void SectionBaseTask::PushCmd(QCmdT* cmd) {
  LockCmds();
  PushCmdNoLock(cmd);
  UnlockCmds();
}

void SectionBaseTask::PushCmdNoLock(QCmdT* cmd) {
  mCmds.push_back(cmd);
  pthread_cond_broadcast(&mCmdCond);
}

void SectionBaseTask::operator()() {
  for (;;) {
    LockCmds();
    while (mCmds.empty()) pthread_cond_wait(&mCmdCond, &mMutex);
    std::list<QCmdT*> batch;
    batch.swap(mCmds);
    UnlockCmds();
    while (!batch.empty()) {
      QCmdT* cmd = batch.front();
      batch.pop_front();
      bool goOn = DoCommand(cmd);
      delete cmd;
      if (!goOn) {
        for (QCmdT* rest : batch) delete rest;
        return;
      }
    }
  }
}

// ---- SideTask ----

SideTask::SideTask(DocumentFailure* failure, SideTask* waitFor, ImageWriter* writer, bool front,
                   const ScanParams& params, ColorOrderE order, ColorPlanarE planar, int pageNum)
    : SectionBaseTask(failure), mWaitFor(waitFor), mIsFront(front), mWriter(writer), mImage(nullptr), mPageNum(pageNum) {
  mImage = new ScanImage(params, front ? kSideFront : kSideBack, order, planar);
  if (gVerbose)
    std::clog << "side task 0x" << std::hex << reinterpret_cast<uintptr_t>(this) << " new image: 0x"
              << reinterpret_cast<uintptr_t>(mImage.load()) << std::dec << std::endl;
  Activate();
}

SideTask::~SideTask() noexcept(false) {
  Join();
  delete mImage.exchange(nullptr);
}

bool SideTask::DoCommand(QCmdT* cmd) {
  switch (cmd->mCmd) {
    case kCmdAppendBytes:
      AppendBytes(cmd->mBytes, cmd->mLen);
      cmd->mBytes = nullptr;
      return true;
    case kCmdSetScanLen:
      if (ScanImage* image = mImage.load()) image->SetScanLen(cmd->mScanLen);
      return true;
    case kCmdCloseSide:
      CloseSide(cmd->mCloseOptions);
      return false;
    default:
      return false;
  }
}

void SideTask::AppendBytes(unsigned char* bytes, int count) {
  if (ScanImage* image = mImage.load(); image && count > 0) image->AppendBytes(bytes, count);
  std::free(bytes);
}

int SideTask::GetCurScanLen() const {
  ScanImage* image = mImage.load();
  return image ? image->GetCurScanLen() : 0;
}

void SideTask::CloseSide(int options) {
  if (mWaitFor) {
    mWaitFor->Join();
    mWaitFor = nullptr;
  }
  ScanImage* image = mImage.load();
  if (image && !(options & kCloseDiscard) && !mAbortFlag->mWriteFailed.load()) {
    image->PostProcess();
    if (image->Failed()) {
      // A side that could not be assembled is never written as a page; the
      // job stops like after a failed write and reports why.
      std::string text = std::string("The ") + SideName(mIsFront ? 1 : 2) + " side of page " +
                         std::to_string(mPageNum) + " could not be assembled: " + image->GetErrorText();
      if (text.size() >= size_t(kMaxErrorText)) text.resize(kMaxErrorText - 1);
      mAbortFlag->SetSideError(text);
      mAbortFlag->mWriteFailed.store(true);
    } else {
      bool last = (options & kCloseLastPage) && !mIsFront;
      if (!mWriter->WritePage(*image, last)) mAbortFlag->mWriteFailed.store(true);
    }
  }
  delete mImage.exchange(nullptr);
}

// ---- PageTask ----

PageTask::PageTask(DocumentFailure* failure, int pageNum, PageTask* prevPage, ImageWriter* writer,
                   const ScanParams& params, ColorOrderE order, ColorPlanarE planar)
    : SectionBaseTask(failure), mPageNum(pageNum), mPrevPage(prevPage), mBackClosed(!params.mDuplex) {
  mFrontTask = new SideTask(failure, nullptr, writer, true, params, order, planar, pageNum);
  if (params.mDuplex) mBackTask = new SideTask(failure, mFrontTask, writer, false, params, order, planar, pageNum);
  if (gVerbose)
    std::clog << "new page task, front task: 0x" << std::hex << reinterpret_cast<uintptr_t>(mFrontTask)
              << ", back task: 0x" << reinterpret_cast<uintptr_t>(mBackTask) << std::dec << std::endl;
  Activate();
}

PageTask::~PageTask() noexcept(false) {
  // The side tasks end only after a close command, and the page task only
  // after both sides closed; a page deleted before that (never in a regular
  // scan) closes them as discarded so that the joins below cannot hang.
  if (!mFrontClosed) PushCmd(new QCmdT(kCmdCloseSide, kSideFront, nullptr, 0, kCloseDiscard, -1));
  if (!mBackClosed) PushCmd(new QCmdT(kCmdCloseSide, kSideBack, nullptr, 0, kCloseDiscard, -1));
  // Join this task first: its worker joins the side tasks while it runs.
  Join();
  delete mFrontTask;
  delete mBackTask;
  RetirePrevPage();
}

void PageTask::RetirePrevPage() {
  PageTask* prev;
  {
    std::lock_guard<std::mutex> lock(mPrevMutex);
    prev = mPrevPage;
    mPrevPage = nullptr;
  }
  if (prev) {
    prev->Join();
    delete prev;
  }
}

void PageTask::PushCmd(QCmdT* cmd) {
  LockCmds();
  if (cmd->mCmd == kCmdCloseSide) {
    bool wasBothClosed = mFrontClosed && mBackClosed;
    {
      // The previous page is completely written before any side of this
      // page may close. Only join here: retiring (deleting) the previous
      // page is the page task's own work, and joining a page that is being
      // retired elsewhere is safe since the link is read under its mutex.
      std::lock_guard<std::mutex> lock(mPrevMutex);
      if (mPrevPage) mPrevPage->Join();
    }
    bool front = cmd->mSide == kSideFront;
    bool& closed = front ? mFrontClosed : mBackClosed;
    SideTask* side = front ? mFrontTask : mBackTask;
    if (!closed && side) {
      side->PushCmd(cmd);
    } else {
      delete cmd;
    }
    closed = true;
    if (!wasBothClosed && mFrontClosed && mBackClosed)
      PushCmdNoLock(new QCmdT(kCmdPageDone, kSideFront, nullptr, 0, 0, -1));
  } else {
    SideTask* side = cmd->mSide == kSideFront ? mFrontTask : mBackTask;
    if (side)
      side->PushCmd(cmd);
    else
      delete cmd;
  }
  UnlockCmds();
}

bool PageTask::DoCommand(QCmdT* cmd) {
  if (cmd->mCmd == kCmdPageDone) Flush();
  return false;
}

void PageTask::Flush() {
  RetirePrevPage();
  mFrontTask->Join();
  if (mBackTask) mBackTask->Join();
}

int PageTask::GetCurScanLen() const {
  int front = mFrontTask->GetCurScanLen();
  if (!mBackTask) return front;
  int back = mBackTask->GetCurScanLen();
  return back < front ? back : front;
}

// ---- DocumentTask ----

DocumentTask::DocumentTask(const ScanParams& params, ColorOrderE order, ColorPlanarE planar)
    : mColorOrder(order),
      mColorPlanar(planar),
      mParams(params),
      mWriter(params),
      mJpeg(params.mWillUseJpeg),
      mInterleave(params.mJpegInterleave) {}

DocumentTask::~DocumentTask() {
  Flush();
  std::free(mJpegHeader);
}

void DocumentTask::OpenPage() {
  if (mFailure.mWriteFailed.load()) return;
  int pageNum = mCurPage ? mCurPage->PageNum() + 1 : 1;
  mCurPage = new PageTask(&mFailure, pageNum, mCurPage, &mWriter, mParams, mColorOrder, mColorPlanar);
  mPageOpen = true;
  mLastWasFF = false;
  mFrontCloseSeen = false;
  mFrontRstCount = -1;
  mBackRstCount = 0;
}

void DocumentTask::Queue(int cmd, int side, unsigned char* bytes, int len, int options, int scanLen) {
  QCmdT* command = new QCmdT(cmd, side, bytes, len, options, scanLen);
  if (!mCurPage) {
    delete command;
    return;
  }
  mCurPage->PushCmd(command);
}

bool DocumentTask::AppendBytes(int side, unsigned char* bytes, int count) {
  if (mFailure.mWriteFailed.load() || !mCurPage || count <= 0) {
    std::free(bytes);
    return false;
  }
  if (mInterleave) return AppendInterleaved(bytes, count);

  bool endOfImage = false;
  int cut = count;
  if (mJpeg) {
    // The end-of-image marker itself is passed on, only what follows it is
    // dropped: a suspending JPEG decoder cannot finish the last MCU row
    // before it sees a marker behind it, so without it the side would lose
    // its last rows.
    int marker = -1;  // the 0xFF came with the previous chunk
    if (mLastWasFF && bytes[0] == 0xD9) {
      endOfImage = true;
      cut = 1;
    } else {
      for (int i = 0; i + 1 < count; ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) {
          endOfImage = true;
          marker = i;
          cut = i + 2;
          break;
        }
      }
    }
    mLastWasFF = bytes[count - 1] == 0xFF;
    if (endOfImage && gVerbose)
      std::clog << "jpeg eoi marker found at position " << marker << " for " << SideName(side) << " page" << std::endl;
  }
  if (cut < 1) {
    std::free(bytes);
    return endOfImage;
  }
  if (gVerbose)
    std::clog << "q'ing " << cut << " " << (mJpeg ? "jpeg" : "uncompressed") << " bytes to " << SideName(side)
              << " page task " << std::endl;
  Queue(kCmdAppendBytes, side, bytes, cut, 0, -1);
  return endOfImage;
}

bool DocumentTask::AppendInterleaved(unsigned char* bytes, int count) {
  int start = 0;
  if (!mJpegHeader) {
    // The header runs from the chunk's first byte through the end of the
    // start-of-scan segment.
    int sos = -1;
    for (int i = 0; i + 3 < count; ++i) {
      if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
        sos = i;
        break;
      }
    }
    int end = sos >= 0 ? sos + 2 + ((bytes[sos + 2] << 8) | bytes[sos + 3]) : -1;
    if (sos < 0 || end > count) {
      // A first chunk without a whole header cannot be split: the page
      // fails visibly instead of producing two undecodable sides.
      mFailure.SetSideError("The scanner's JPEG data for page " + std::to_string(mCurPage->PageNum()) +
                            " began without a complete header.");
      mFailure.mWriteFailed.store(true);
      std::free(bytes);
      return false;
    }
    mJpegHeaderLen = end;
    mJpegHeader = static_cast<unsigned char*>(std::malloc(size_t(end)));
    if (!mJpegHeader) {
      mFailure.SetSideError("Out of memory while splitting the scanner's interleaved JPEG data.");
      mFailure.mWriteFailed.store(true);
      std::free(bytes);
      return false;
    }
    std::memcpy(mJpegHeader, bytes, size_t(end));
    start = end;
  }
  if (mFrontRstCount == -1) {
    mFrontRstCount = 0;
    for (int side : {int(kSideFront), int(kSideBack)}) {
      unsigned char* copy = static_cast<unsigned char*>(std::malloc(size_t(mJpegHeaderLen)));
      if (!copy) continue;
      std::memcpy(copy, mJpegHeader, size_t(mJpegHeaderLen));
      Queue(kCmdAppendBytes, side, copy, mJpegHeaderLen, 0, -1);
    }
  }

  unsigned char* back = static_cast<unsigned char*>(std::malloc(size_t(count)));
  if (!back) {
    mFailure.SetSideError("Out of memory while splitting the scanner's interleaved JPEG data.");
    mFailure.mWriteFailed.store(true);
    std::free(bytes);
    return false;
  }
  int frontLen = 0, backLen = 0;
  bool backEnded = false;
  int i = start;
  while (i < count && !backEnded) {
    while (i < count && mFrontRstCount == mBackRstCount) {
      unsigned char b = bytes[i++];
      if (mLastWasFF && b >= 0xD0 && b <= 0xD7) {
        bytes[frontLen++] = uint8_t(0xD0 + (mFrontRstCount % 8));
        ++mFrontRstCount;
      } else {
        bytes[frontLen++] = b;
      }
      mLastWasFF = b == 0xFF;
    }
    while (i < count && mBackRstCount < mFrontRstCount) {
      unsigned char b = bytes[i++];
      if (mLastWasFF && ((b >= 0xD0 && b <= 0xD7) || b == 0xD9)) {
        back[backLen++] = uint8_t(0xD0 + (mBackRstCount % 8));
        ++mBackRstCount;
        if (b == 0xD9) {
          backEnded = true;
          mLastWasFF = false;
          break;
        }
      } else {
        back[backLen++] = b;
      }
      mLastWasFF = b == 0xFF;
    }
  }
  Queue(kCmdAppendBytes, kSideFront, bytes, frontLen, 0, -1);
  Queue(kCmdAppendBytes, kSideBack, back, backLen, 0, -1);
  return backEnded;
}

void DocumentTask::SetScanLen(int lines) {
  Queue(kCmdSetScanLen, kSideFront, nullptr, 0, 0, lines);
  if (mParams.mDuplex) Queue(kCmdSetScanLen, kSideBack, nullptr, 0, 0, lines);
}

void DocumentTask::CloseSide(int side, int options) {
  if (!mInterleave) {
    Queue(kCmdCloseSide, side, nullptr, 0, options, -1);
    if (side == kSideBack || !mParams.mDuplex) mPageOpen = false;
    return;
  }
  if (!mFrontCloseSeen) {
    mFrontCloseSeen = true;
    return;
  }
  Queue(kCmdCloseSide, kSideFront, nullptr, 0, options, -1);
  Queue(kCmdCloseSide, kSideBack, nullptr, 0, options, -1);
  mPageOpen = false;
  mFrontCloseSeen = false;
  std::free(mJpegHeader);
  mJpegHeader = nullptr;
  mJpegHeaderLen = 0;
}

int DocumentTask::GetCurScanLen() const {
  // Once its sides are closed, a page's images are being finished and
  // deleted by the workers; a page stays current after that only when a
  // write failed and no new page was opened.
  return mCurPage && mPageOpen ? mCurPage->GetCurScanLen() : 0;
}

ScanResults DocumentTask::Flush() {
  if (mCurPage) {
    // Closing sides that are closed already changes nothing; the interleaved
    // split needs both calls to close anything.
    if (mInterleave) {
      mFrontCloseSeen = false;
      CloseSide(kSideFront, kCloseLastPage);
      CloseSide(kSideBack, kCloseLastPage);
    } else {
      CloseSide(kSideFront, kCloseLastPage);
      if (mParams.mDuplex) CloseSide(kSideBack, kCloseLastPage);
    }
    mCurPage->Join();
    delete mCurPage;
    mCurPage = nullptr;
  }
  mWriter.Close();
  return mWriter.Results();
}

}  // namespace ZuzuvovOvav
