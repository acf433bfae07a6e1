// DocumentTask, PageTask and SideTask: a scan's pages assembled and written in order.
//
// The page loop hands every chunk it
// reads to the DocumentTask and goes on reading; the chunk travels as a
// queued command to the current page's PageTask and on to the SideTask of
// its side, which feeds its ScanImage on a worker of the document queue and,
// when the side is closed, finishes the image and writes it. The tasks are
// chained so that pages are written strictly in scan order, front before
// back, whatever worker runs them.
//
// Threads: every DocumentTask operation runs on the scan thread; the page
// and side tasks run on the five workers of the document queue. The
// write-failure flag is shared by all of them (sequentially consistent
// atomic accesses).
//
// Running out of memory stops the document like a side that cannot be
// assembled, with a text naming the page: no operation throws it, and the
// commands that end a task are made with the task, so that every task
// started also ends.
#pragma once

#include <pthread.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FujiScanParams.h"
#include "ImageWriter.h"
#include "MallocBuffer.h"
#include "TaskQ.h"

namespace ZuzuvovOvav {

class ScanImage;

enum QCmdTypeE : int {
  kCmdAppendBytes = 1,
  kCmdSetScanLen = 2,
  kCmdCloseSide = 3,
  kCmdPageDone = 4,
};

enum CloseSideOptionsE : int {
  kCloseLastPage = 1,  // the last page of the job
  kCloseDiscard = 2,   // do not write this page
  kCloseCutShort = 4,  // the scan ended before the side's data did
  kCloseFeedEnd = 8,   // the last sheet of a feed that ran to its end: its back is the job's last side
};

// A command queued to a page or side task; the sender makes it, the queue
// owns it until the task that runs it is done with it. mBytes belongs to the
// command until a side task appends them.
struct QCmdT {
  int mCmd = 0;
  int mSide = kSideFront;
  int mCloseOptions = 0;
  MallocBuffer mBytes;
  int mLen = 0;
  int mScanLen = -1;

  QCmdT(int cmd, int side, MallocBuffer bytes, int len, int options, int scanLen)
      : mCmd(cmd), mSide(side), mCloseOptions(options), mBytes(std::move(bytes)), mLen(len), mScanLen(scanLen) {}
};

using QCmdPtr = std::unique_ptr<QCmdT>;

// What the tasks of one document share: the write-failure flag, the
// first side that could not be assembled (a corrupt JPEG stream, no memory
// for it) with its reason, and the pages written from sides that were cut
// short.
struct DocumentFailure {
  std::atomic<bool> mWriteFailed{false};
  std::mutex mMutex;
  char mSideError[kMaxErrorText] = {};  // guarded by mMutex; empty while no side failed
  std::vector<CutShortPage> mCutShort;  // guarded by mMutex

  // Keeps the reason (printf-style; allocates nothing) unless one is kept
  // already, and sets the write-failure flag.
  void Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // After an exception in the tasks of sheet `sheet`: its reason.
  void FailAfterException(int sheet);
  std::string SideError();
};

// A task of the document queue that runs the commands queued to it. Its
// last command (`endCmd`: a side's close, a page's done) is made with it.
// An exception in a command ends the task and fails the document.
class SectionBaseTask : public Task {
 public:
  SectionBaseTask(DocumentFailure* failure, int pageNum, int endCmd);
  ~SectionBaseTask() noexcept(false) override;

  void operator()() override;
  void PushCmd(QCmdPtr cmd);
  // Queues the last command with `options`; later calls do nothing.
  void PushEnd(int options);
  // Runs one command; false ends the task.
  virtual bool DoCommand(QCmdT* cmd) = 0;
  int PageNum() const { return mPageNum; }

 protected:
  // For a caller that holds mMutex.
  void PushEndNoLock(int options);

  DocumentFailure* mAbortFlag;
  const int mPageNum;
  pthread_cond_t mCmdCond;
  std::list<QCmdPtr> mCmds;
  std::list<QCmdPtr> mEnd;  // the last command until it is queued
};

class SideTask : public SectionBaseTask {
 public:
  SideTask(DocumentFailure* failure, SideTask* waitFor, ImageWriter* writer, bool front, const ScanParams& params,
           ColorOrderE order, ColorPlanarE planar, int pageNum);
  ~SideTask() noexcept(false) override;

  bool DoCommand(QCmdT* cmd) override;
  void CloseSide(int options);
  void AppendBytes(MallocBuffer bytes, int count);
  int GetCurScanLen() const;

 private:
  // Deletes the image; the scan thread then reads no line count from it.
  void DropImage();

  SideTask* mWaitFor;
  bool mIsFront;
  ImageWriter* mWriter;
  std::unique_ptr<ScanImage> mImageOwner;
  // The same image for the scan thread's GetCurScanLen; null once dropped.
  std::atomic<ScanImage*> mImage{nullptr};
};

class PageTask : public SectionBaseTask {
 public:
  PageTask(DocumentFailure* failure, int pageNum, std::unique_ptr<PageTask> prevPage, ImageWriter* writer,
           const ScanParams& params, ColorOrderE order, ColorPlanarE planar);
  ~PageTask() noexcept(false) override;

  // Passes an append or scan-length command to the side it names.
  void ForwardCmd(QCmdPtr cmd);
  // Closes a side (kSideFront or kSideBack) with CloseSideOptionsE
  // `options`, once; allocates nothing.
  void CloseSide(int side, int options);
  bool DoCommand(QCmdT* cmd) override;
  // Retires the previous page and joins both sides (as kCmdPageDone does).
  void Flush();
  // Waits until the previous page is completely written.
  void JoinPrevPage();
  int GetCurScanLen() const;

 private:
  // Joins and deletes the previous page once; the link is taken under the
  // task's mutex so that no two threads retire it.
  void RetirePrevPage();

  std::unique_ptr<PageTask> mPrevPage;  // guarded by mPrevMutex
  bool mFrontClosed = false;
  bool mBackClosed;
  std::unique_ptr<SideTask> mFrontTask;
  std::unique_ptr<SideTask> mBackTask;
  std::mutex mPrevMutex;
};

class DocumentTask {
 public:
  DocumentTask(const ScanParams& params, ColorOrderE order, ColorPlanarE planar);
  ~DocumentTask();
  DocumentTask(const DocumentTask&) = delete;
  DocumentTask& operator=(const DocumentTask&) = delete;

  void OpenPage();
  // Ownership of `bytes` (from malloc) passes in. Returns true when the end
  // of a JPEG image was seen in this chunk.
  bool AppendBytes(int side, unsigned char* bytes, int count);
  void SetScanLen(int lines);
  void CloseSide(int side, int options);
  int GetCurScanLen() const;
  // Finish, then hands over the writer's results (a second call returns
  // empty ones).
  ScanResults Flush();

  bool WriteFailed() const { return mFailure.mWriteFailed.load(); }
  // The reason a side could not be assembled, or empty.
  std::string SideError() { return mFailure.SideError(); }

 private:
  void Queue(int cmd, int side, MallocBuffer bytes, int len, int scanLen);
  // Closes the current page as the last one, waits until every page is
  // written and closes the writer.
  void Finish();
  bool AppendInterleaved(MallocBuffer bytes, int count);
  // Stops the document with `text` as its reason once the pages before the
  // current one are written; always false (no end of image).
  bool FailSplit(const char* text);

  ColorOrderE mColorOrder;
  ColorPlanarE mColorPlanar;
  ScanParams mParams;
  DocumentFailure mFailure;
  ImageWriter mWriter;
  std::unique_ptr<PageTask> mCurPage;
  bool mPageOpen = false;  // mCurPage's sides are not all closed yet
  bool mJpeg;
  bool mInterleave;
  bool mLastWasFF = false;
  bool mFrontCloseSeen = false;
  MallocBuffer mJpegHeader;
  int mJpegHeaderLen = 0;
  int mFrontRstCount = -1;
  int mBackRstCount = 0;
};

// The document queue: five workers for the page and side tasks. Started on
// first use; throws the reason as a C string when it cannot be started.
TaskQ& DocumentQueue();


}  // namespace ZuzuvovOvav
