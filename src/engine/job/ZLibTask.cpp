// The slice task of the parallel Deflate, the compression queue it runs on
// and DeflatePage, which joins a page's slices into one zlib stream.
#include "ZLibTask.h"

#include "HostCpu.h"

#include <zlib.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

// The compression queue, started on first use and kept for the life of the
// process; sized from the logical CPU count.
int CompressionWorkers() { return CompressionQueueWorkers(quirel::host::LogicalCpuCount()); }
constinit ProcessTaskQ sTaskQ(&CompressionWorkers);

}  // namespace

bool StartZLibTaskQ(std::string* error) { return sTaskQ.Get(error) != nullptr; }

TaskQ* ZLibTaskQ() { return sTaskQ.GetOrThrow(); }

ZLibTask::ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen)
    : ZLibTask(src, srcLen, last, dst, dstLen, srcLen, 0) {}

ZLibTask::ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen, int rowBytes,
                   int rowSkip)
    : Task(ZLibTaskQ()),
      mSrc(static_cast<uint8_t*>(src)),
      mDst(static_cast<uint8_t*>(dst)),
      mSrcLen(srcLen),
      mDstLen(dstLen),
      mTotalIn(0),
      mRowBytes(rowBytes),
      mRowSkip(rowSkip),
      mLast(last),
      mAdler(0) {}

void ZLibTask::operator()() {
  z_stream strm{};
  if (const int init = deflateInit(&strm, 5); init != Z_OK) {
    mDstLen = -1;
    // Its worker keeps this in mFailed: the caller learns why.
    if (init == Z_MEM_ERROR) throw std::bad_alloc();
    return;
  }
  strm.next_out = mDst;
  strm.avail_out = mDstLen > 0 ? uInt(mDstLen) : 0;

  // A slot too small for the slice shows as input left over; the rest of the
  // slice would be dropped silently, so the slice fails instead.
  bool ok = mRowBytes >= 0 && mRowSkip >= 0 && (mSrcLen <= 0 || mRowBytes + mRowSkip > 0);
  if (ok && mSrcLen > 0) {
    const uint8_t* pos = mSrc;
    const uint8_t* end = mSrc + mSrcLen;
    while (pos < end) {
      // The last row of a slice that does not end on a row boundary is
      // shorter: never read past the slice.
      ptrdiff_t take = end - pos < mRowBytes ? end - pos : mRowBytes;
      strm.next_in = const_cast<Bytef*>(pos);
      strm.avail_in = uInt(take);
      deflate(&strm, Z_NO_FLUSH);
      if (strm.avail_in != 0) {
        ok = false;
        break;
      }
      if (end - pos <= ptrdiff_t(mRowBytes) + mRowSkip) break;
      pos += ptrdiff_t(mRowBytes) + mRowSkip;
    }
  }
  if (ok) {
    int ret = deflate(&strm, mLast ? Z_FINISH : Z_SYNC_FLUSH);
    // A sync flush that fills the room exactly may still hold output back.
    ok = mLast ? ret == Z_STREAM_END : (ret == Z_OK && strm.avail_out != 0);
  }
  if (ok) {
    mDst += 2;
    mTotalIn = int32_t(strm.total_in);
    mDstLen = int32_t(strm.total_out) - 2 - (mLast ? 4 : 0);
    mAdler = uint32_t(strm.adler);
  } else {
    mDstLen = -1;
  }
  deflateEnd(&strm);
}

unsigned int ZLibTask::adler32_comb(unsigned int adler1, unsigned int adler2, unsigned long len2) {
  // Appending len2 bytes adds len2 x (first run's A - 1) to B and the second
  // run's A - 1 to A, all modulo 65521.
  const unsigned long base = 65521;
  unsigned long rem = len2 % base;
  unsigned long sum1 = adler1 & 0xFFFF;
  unsigned long sum2 = (rem * sum1) % base;
  sum1 += (adler2 & 0xFFFF) + base - 1;
  sum2 += ((adler1 >> 16) & 0xFFFF) + ((adler2 >> 16) & 0xFFFF) + base - rem;
  if (sum1 >= base) sum1 -= base;
  if (sum1 >= base) sum1 -= base;
  if (sum2 >= 2 * base) sum2 -= 2 * base;
  if (sum2 >= base) sum2 -= base;
  return unsigned(sum1 | (sum2 << 16));
}

void ZLibTask::put4m(unsigned char* out, unsigned int value) {
  out[0] = (unsigned char)(value >> 24);
  out[1] = (unsigned char)(value >> 16);
  out[2] = (unsigned char)(value >> 8);
  out[3] = (unsigned char)value;
}

int ZLibSliceSize(int stride) {
  const int mib = 1 << 20;
  if (stride <= 0 || mib % stride == 0) return mib;
  return (mib / stride + 1) * stride;
}

int ZLibSlotSize(int sliceSize) {
  int slot = int(double(sliceSize) * 1.001 + 12.0);
  return (slot + 63) / 64 * 64;
}

int ZLibSliceCount(int rows, int stride) {
  int64_t slice = ZLibSliceSize(stride);
  int64_t total = int64_t(rows) * stride;
  int64_t count = total > 0 ? (total + slice - 1) / slice : 1;
  return int(count);
}

namespace {

// The slices of one page in flight. A task is kept here only once the queue
// has it, and every one is joined before the batch lets go of it: no worker
// may write into the caller's buffer after DeflatePage has left, whichever
// way it leaves.
class SliceBatch {
 public:
  explicit SliceBatch(size_t count) { mTasks.reserve(count); }
  ~SliceBatch() {
    for (auto& task : mTasks) task->Join();
  }
  SliceBatch(const SliceBatch&) = delete;
  SliceBatch& operator=(const SliceBatch&) = delete;

  void Start(std::unique_ptr<ZLibTask> task) {
    task->Activate();
    mTasks.push_back(std::move(task));  // room reserved: cannot throw
  }
  const std::vector<std::unique_ptr<ZLibTask>>& Tasks() const { return mTasks; }

 private:
  std::vector<std::unique_ptr<ZLibTask>> mTasks;
};

}  // namespace

bool DeflatePage(const uint8_t* bits, int64_t stride, int64_t rows, int64_t packedRow,
                 const DeflateSink& sink, ZuzuvovOvav::MallocBuffer* buffer) {
  const int64_t total = rows * stride;
  if (stride > std::numeric_limits<int>::max() / 2 || packedRow > stride || packedRow < 0)
    return false;
  const int slice = ZLibSliceSize(int(stride));
  const int slot = ZLibSlotSize(slice);
  const int64_t count = (total + slice - 1) / slice;
  // Header, slots from byte 64, checksum after the last slot.
  buffer->reset(static_cast<uint8_t*>(std::malloc(size_t(count * slot + 128))));
  if (!*buffer) throw std::bad_alloc();
  uint8_t* out = buffer->get();
  out[0] = 0x78;
  out[1] = 0x5E;
  if (!sink(out, 2)) return false;

  SliceBatch batch{size_t(count)};
  for (int64_t i = 0; i < count; ++i) {
    const int64_t len = i + 1 < count ? slice : total - i * slice;
    batch.Start(std::make_unique<ZLibTask>(const_cast<uint8_t*>(bits) + i * slice, int(len),
                                           i + 1 == count, out + 64 + i * slot, slot,
                                           int(packedRow), int(stride - packedRow)));
  }
  bool ok = true;
  bool noMemory = false;
  unsigned adler = 1;
  for (const auto& t : batch.Tasks()) {
    t->Join();
    noMemory = noMemory || t->mFailed;
    if (t->mFailed || t->mDstLen < 0) ok = false;
    if (ok) ok = sink(t->mDst, size_t(t->mDstLen));
    adler = ZLibTask::adler32_comb(adler, t->mAdler, unsigned(t->mTotalIn));
  }
  if (noMemory) throw std::bad_alloc();
  if (!ok) return false;
  uint8_t* trailer = out + 64 + count * slot;
  if (count == 0) {
    // No rows: a final empty block keeps the stream well formed.
    trailer[0] = 0x03;
    trailer[1] = 0x00;
    if (!sink(trailer, 2)) return false;
    trailer += 2;
  }
  ZLibTask::put4m(trailer, adler);
  return sink(trailer, 4);
}
