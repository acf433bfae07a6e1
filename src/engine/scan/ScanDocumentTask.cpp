// The document, page and side tasks and the engine's worker queues.
#include "ScanDocumentTask.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>

#include "PthreadLock.h"
#include "ScanImage.h"
#include "ScanJob.h"
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

const char* const kSplitOutOfMemory = "Out of memory while splitting the scanner's interleaved JPEG data.";

MallocBuffer Allocate(int size) {
  return MallocBuffer(static_cast<uint8_t*>(std::malloc(size_t(size > 0 ? size : 1))));
}

}  // namespace

void DocumentFailure::Fail(const char* format, ...) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mSideError[0]) {
      va_list args;
      va_start(args, format);
      std::vsnprintf(mSideError, sizeof mSideError, format, args);
      va_end(args);
    }
  }
  mWriteFailed.store(true);
}

// Called in a catch block. The failure may come while earlier pages are
// still being written, so it names the sheet, not a page.
void DocumentFailure::FailAfterException(int sheet) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    Fail("Out of memory while assembling sheet %d.", sheet);
  } catch (const char* what) {
    Fail("Sheet %d could not be assembled: %s.", sheet, what);
  } catch (...) {
    Fail("Sheet %d could not be assembled.", sheet);
  }
}

std::string DocumentFailure::SideError() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mSideError;
}

// ---- SectionBaseTask ----

SectionBaseTask::SectionBaseTask(DocumentFailure* failure, int pageNum, int endCmd)
    : Task(&DocumentQueue()), mAbortFlag(failure), mPageNum(pageNum) {
  mEnd.push_back(std::make_unique<QCmdT>(endCmd, kSideFront, nullptr, 0, 0, -1));
  if (pthread_cond_init(&mCmdCond, nullptr) != 0) throw "pthread_cond_init failed";
}

SectionBaseTask::~SectionBaseTask() noexcept(false) {
  Join();
  mCmds.clear();
  pthread_cond_destroy(&mCmdCond);
}

void SectionBaseTask::PushCmd(QCmdPtr cmd) {
  PthreadLock lock(&mMutex);
  mCmds.push_back(std::move(cmd));
  pthread_cond_broadcast(&mCmdCond);
  lock.Unlock();
}

void SectionBaseTask::PushEnd(int options) {
  PthreadLock lock(&mMutex);
  PushEndNoLock(options);
  lock.Unlock();
}

void SectionBaseTask::PushEndNoLock(int options) {
  if (mEnd.empty()) return;
  mEnd.front()->mCloseOptions = options;
  mCmds.splice(mCmds.end(), mEnd);
  pthread_cond_broadcast(&mCmdCond);
}

// The commands of a batch that follow the one that ended the task are
// dropped with the batch.
void SectionBaseTask::operator()() {
  for (;;) {
    std::list<QCmdPtr> batch;
    {
      PthreadLock lock(&mMutex);
      while (mCmds.empty()) pthread_cond_wait(&mCmdCond, lock.Mutex());
      batch.swap(mCmds);
      lock.Unlock();
    }
    for (QCmdPtr& cmd : batch) {
      bool goOn = false;
      try {
        goOn = DoCommand(cmd.get());
      } catch (...) {
        mAbortFlag->FailAfterException(mPageNum);
      }
      cmd.reset();
      if (!goOn) return;
    }
  }
}

// ---- SideTask ----

SideTask::SideTask(DocumentFailure* failure, SideTask* waitFor, ImageWriter* writer, bool front,
                   const ScanParams& params, ColorOrderE order, ColorPlanarE planar, int pageNum)
    : SectionBaseTask(failure, pageNum, kCmdCloseSide),
      mWaitFor(waitFor),
      mIsFront(front),
      mWriter(writer),
      mImageOwner(std::make_unique<ScanImage>(params, front ? kSideFront : kSideBack, order, planar)),
      mImage(mImageOwner.get()) {
  if (gVerbose)
    std::clog << "side task 0x" << std::hex << reinterpret_cast<uintptr_t>(this) << " new image: 0x"
              << reinterpret_cast<uintptr_t>(mImage.load()) << std::dec << std::endl;
  Activate();
}

SideTask::~SideTask() noexcept(false) {
  Join();
  DropImage();
}

void SideTask::DropImage() {
  mImage.store(nullptr);
  mImageOwner.reset();
}

bool SideTask::DoCommand(QCmdT* cmd) {
  switch (cmd->mCmd) {
    case kCmdAppendBytes:
      AppendBytes(std::move(cmd->mBytes), cmd->mLen);
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

void SideTask::AppendBytes(MallocBuffer bytes, int count) {
  if (ScanImage* image = mImageOwner.get(); image && count > 0) image->AppendBytes(bytes.get(), count);
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
  ScanImage* image = mImageOwner.get();
  // A side cut short keeps what arrived; one of which nothing arrived is no page.
  if (image && (options & kCloseCutShort) && !(options & kCloseDiscard) && !image->EndCutShort()) image = nullptr;
  if (image && !(options & kCloseDiscard) && !mAbortFlag->mWriteFailed.load()) {
    image->PostProcess();
    if (image->Failed()) {
      // A side that could not be assembled is never written as a page; the
      // job stops like after a failed write and reports why. The pages
      // before it are written: it would have been the next.
      mAbortFlag->Fail("The %s side of page %d could not be assembled: %s", SideName(mIsFront ? 1 : 2),
                       int(mWriter->Results().mTotalPages) + 1, image->GetErrorText());
    } else {
      bool last = (options & kCloseFeedEnd) && !mIsFront;
      const int32_t before = mWriter->Results().mTotalPages;
      if (!mWriter->WritePage(*image, last)) {
        mAbortFlag->mWriteFailed.store(true);
      } else if ((options & kCloseCutShort) && mWriter->Results().mTotalPages > before) {
        std::lock_guard<std::mutex> lock(mAbortFlag->mMutex);
        // The page is written; without memory for this note the summary
        // only does not name it as incomplete.
        try {
          mAbortFlag->mCutShort.push_back({mWriter->Results().mTotalPages, mIsFront ? kSideFront : kSideBack});
        } catch (const std::bad_alloc&) {
        }
      }
    }
  }
  DropImage();
}

// ---- PageTask ----

PageTask::PageTask(DocumentFailure* failure, int pageNum, std::unique_ptr<PageTask> prevPage, ImageWriter* writer,
                   const ScanParams& params, ColorOrderE order, ColorPlanarE planar)
    : SectionBaseTask(failure, pageNum, kCmdPageDone), mPrevPage(std::move(prevPage)), mBackClosed(!params.mDuplex) {
  try {
    mFrontTask = std::make_unique<SideTask>(failure, nullptr, writer, true, params, order, planar, pageNum);
    if (params.mDuplex)
      mBackTask = std::make_unique<SideTask>(failure, mFrontTask.get(), writer, false, params, order, planar, pageNum);
    Activate();
  } catch (...) {
    // The sides already started must end, or deleting them would wait for ever.
    if (mFrontTask) mFrontTask->PushEnd(kCloseDiscard);
    if (mBackTask) mBackTask->PushEnd(kCloseDiscard);
    throw;
  }
  if (gVerbose)
    std::clog << "new page task, front task: 0x" << std::hex << reinterpret_cast<uintptr_t>(mFrontTask.get())
              << ", back task: 0x" << reinterpret_cast<uintptr_t>(mBackTask.get()) << std::dec << std::endl;
}

PageTask::~PageTask() noexcept(false) {
  // The side tasks end only after a close command, and the page task only
  // after both sides closed; a page deleted before that (never in a regular
  // scan) closes them as discarded so that the joins below cannot hang.
  if (!mFrontClosed) CloseSide(kSideFront, kCloseDiscard);
  if (!mBackClosed) CloseSide(kSideBack, kCloseDiscard);
  // Join this task first: its worker joins the side tasks while it runs.
  // The front goes before the back, which waits for it.
  Join();
  mFrontTask.reset();
  mBackTask.reset();
  RetirePrevPage();
}

void PageTask::RetirePrevPage() {
  std::unique_ptr<PageTask> prev;
  {
    std::lock_guard<std::mutex> lock(mPrevMutex);
    prev = std::move(mPrevPage);
  }
  if (prev) prev->Join();
}

void PageTask::ForwardCmd(QCmdPtr cmd) {
  SideTask* side = cmd->mSide == kSideFront ? mFrontTask.get() : mBackTask.get();
  // A command no side takes is dropped with `cmd`.
  if (side) side->PushCmd(std::move(cmd));
}

// Only joins: retiring (deleting) the previous page is the page task's own
// work, and joining a page that is being retired elsewhere is safe since the
// link is read under its mutex.
void PageTask::JoinPrevPage() {
  std::lock_guard<std::mutex> prevLock(mPrevMutex);
  if (mPrevPage) mPrevPage->Join();
}

void PageTask::CloseSide(int sideNum, int options) {
  PthreadLock lock(&mMutex);
  const bool wasBothClosed = mFrontClosed && mBackClosed;
  // The previous page is completely written before any side of this page may close.
  JoinPrevPage();
  const bool front = sideNum == kSideFront;
  bool& closed = front ? mFrontClosed : mBackClosed;
  SideTask* side = front ? mFrontTask.get() : mBackTask.get();
  if (!closed && side) side->PushEnd(options);
  closed = true;
  if (!wasBothClosed && mFrontClosed && mBackClosed) PushEndNoLock(0);
  lock.Unlock();
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

DocumentTask::~DocumentTask() { Finish(); }

void DocumentTask::OpenPage() {
  if (mFailure.mWriteFailed.load()) return;
  const int pageNum = mCurPage ? mCurPage->PageNum() + 1 : 1;
  mPageOpen = false;
  try {
    mCurPage = std::make_unique<PageTask>(&mFailure, pageNum, std::move(mCurPage), &mWriter, mParams, mColorOrder,
                                          mColorPlanar);
  } catch (...) {
    // The pages before are written before the document stops.
    if (mCurPage) {
      mCurPage->CloseSide(kSideFront, kCloseDiscard);
      mCurPage->CloseSide(kSideBack, kCloseDiscard);
      mCurPage->Join();
    }
    mFailure.FailAfterException(pageNum);
    return;
  }
  mPageOpen = true;
  mLastWasFF = false;
  mFrontCloseSeen = false;
  mFrontRstCount = -1;
  mBackRstCount = 0;
}

void DocumentTask::Queue(int cmd, int side, MallocBuffer bytes, int len, int scanLen) {
  if (!mCurPage) return;
  try {
    mCurPage->ForwardCmd(std::make_unique<QCmdT>(cmd, side, std::move(bytes), len, 0, scanLen));
  } catch (...) {
    // The side misses data: it must not be written; the pages before it are.
    mCurPage->JoinPrevPage();
    mFailure.FailAfterException(mCurPage->PageNum());
  }
}

bool DocumentTask::AppendBytes(int side, unsigned char* bytes, int count) {
  MallocBuffer owned(bytes);
  if (mFailure.mWriteFailed.load() || !mCurPage || count <= 0) return false;
  if (mInterleave) return AppendInterleaved(std::move(owned), count);

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
  if (cut < 1) return endOfImage;
  if (gVerbose)
    std::clog << "q'ing " << cut << " " << (mJpeg ? "jpeg" : "uncompressed") << " bytes to " << SideName(side)
              << " page task " << std::endl;
  Queue(kCmdAppendBytes, side, std::move(owned), cut, -1);
  return endOfImage;
}

bool DocumentTask::FailSplit(const char* text) {
  mCurPage->JoinPrevPage();
  mFailure.Fail("%s", text);
  return false;
}

bool DocumentTask::AppendInterleaved(MallocBuffer chunk, int count) {
  uint8_t* bytes = chunk.get();
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
    const int end = sos >= 0 ? sos + 2 + ((bytes[sos + 2] << 8) | bytes[sos + 3]) : -1;
    // A first chunk without a whole header cannot be split: the page fails
    // visibly instead of producing two undecodable sides.
    if (sos < 0 || end > count) {
      // Named by the pages its two sides would have been, once the pages
      // before them are written.
      mCurPage->JoinPrevPage();
      const int page = int(mWriter.Results().mTotalPages) + 1;
      char text[112];
      std::snprintf(text, sizeof text,
                    "The scanner's JPEG data for pages %d and %d began without a complete header.", page, page + 1);
      return FailSplit(text);
    }
    mJpegHeader = Allocate(end);
    if (!mJpegHeader) return FailSplit(kSplitOutOfMemory);
    mJpegHeaderLen = end;
    std::memcpy(mJpegHeader.get(), bytes, size_t(end));
    start = end;
  }
  if (mFrontRstCount == -1) {
    // Each side starts with its own copy of the header.
    MallocBuffer front = Allocate(mJpegHeaderLen);
    MallocBuffer back = Allocate(mJpegHeaderLen);
    if (!front || !back) return FailSplit(kSplitOutOfMemory);
    mFrontRstCount = 0;
    std::memcpy(front.get(), mJpegHeader.get(), size_t(mJpegHeaderLen));
    std::memcpy(back.get(), mJpegHeader.get(), size_t(mJpegHeaderLen));
    Queue(kCmdAppendBytes, kSideFront, std::move(front), mJpegHeaderLen, -1);
    Queue(kCmdAppendBytes, kSideBack, std::move(back), mJpegHeaderLen, -1);
  }

  MallocBuffer backBytes = Allocate(count);
  if (!backBytes) return FailSplit(kSplitOutOfMemory);
  uint8_t* back = backBytes.get();
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
  Queue(kCmdAppendBytes, kSideFront, std::move(chunk), frontLen, -1);
  Queue(kCmdAppendBytes, kSideBack, std::move(backBytes), backLen, -1);
  return backEnded;
}

void DocumentTask::SetScanLen(int lines) {
  Queue(kCmdSetScanLen, kSideFront, nullptr, 0, lines);
  if (mParams.mDuplex) Queue(kCmdSetScanLen, kSideBack, nullptr, 0, lines);
}

void DocumentTask::CloseSide(int side, int options) {
  if (!mInterleave) {
    if (mCurPage) mCurPage->CloseSide(side, options);
    if (side == kSideBack || !mParams.mDuplex) mPageOpen = false;
    return;
  }
  if (!mFrontCloseSeen) {
    mFrontCloseSeen = true;
    return;
  }
  if (mCurPage) {
    mCurPage->CloseSide(kSideFront, options);
    mCurPage->CloseSide(kSideBack, options);
  }
  mPageOpen = false;
  mFrontCloseSeen = false;
  mJpegHeader.reset();
  mJpegHeaderLen = 0;
}

int DocumentTask::GetCurScanLen() const {
  // Once its sides are closed, a page's images are being finished and
  // deleted by the workers; a page stays current after that only when a
  // write failed and no new page was opened.
  return mCurPage && mPageOpen ? mCurPage->GetCurScanLen() : 0;
}

ScanResults DocumentTask::Flush() {
  Finish();
  // Moved out, not copied: nothing is allocated, and the writer is done.
  ScanResults results = mWriter.mImpl ? std::move(mWriter.mImpl->mResults) : ScanResults();
  std::lock_guard<std::mutex> lock(mFailure.mMutex);
  results.mCutShortPages = std::move(mFailure.mCutShort);
  return results;
}

void DocumentTask::Finish() {
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
    mCurPage.reset();
  }
  mWriter.Close();
}

}  // namespace ZuzuvovOvav
