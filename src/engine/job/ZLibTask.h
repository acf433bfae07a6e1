// One slice of a page deflated on the compression queue.
//
// A large gray or colour page is compressed in parallel: cut into slices of
// whole rows of about 1 MiB, each slice deflated by its own ZLibTask, and the
// slices joined in order into one zlib stream with one header and one
// Adler-32 over the packed rows of the whole page. Usage:
//
//   int slice = ZLibSliceSize(stride);             // whole rows, >= 1 MiB
//   int slot  = ZLibSlotSize(slice);               // output room per slice
//   int count = ZLibSliceCount(rows, stride);     // at least 1
//   uint8_t* out = (uint8_t*)malloc(size_t(count) * slot /* + margins */);
//   std::vector<ZLibTask*> tasks;
//   for (int i = 0; i < count; i++) {              // queue every slice first
//     int len = (i + 1 < count) ? slice : int(int64_t(rows) * stride - int64_t(i) * slice);
//     tasks.push_back(new ZLibTask(bits + int64_t(i) * slice, len, i + 1 == count,
//                                  out + int64_t(i) * slot, slot, width * samples,
//                                  stride - width * samples));
//     tasks.back()->Activate();
//   }
//   // header 0x78 0x5E
//   unsigned adler = 1;
//   for (ZLibTask* t : tasks) {                    // then join them in order
//     t->Join();
//     // t->mDstLen < 0: the slice failed (see below)
//     // append the piece (t->mDst, t->mDstLen)
//     adler = ZLibTask::adler32_comb(adler, t->mAdler, t->mTotalIn);
//     delete t;
//   }
//   // trailer: ZLibTask::put4m(trailer, adler), 4 bytes
//
// The task neither allocates nor frees its input or output; both belong to
// the caller, who must keep them unchanged until the task is joined.
#pragma once

#include <cstdint>
#include <string>

#include "TaskQ.h"

class ZLibTask : public Task {
 public:
  // The whole source is one row with no padding.
  ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen);
  // Rows of rowBytes bytes, each followed by rowSkip bytes that are not
  // compressed (row padding). The form the writers use.
  ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen, int rowBytes, int rowSkip);
  ~ZLibTask() override = default;

  void operator()() override;

  // Adler-32 of a first run followed by a second run of len2 bytes, given
  // the checksums of both runs (modulus 65521).
  static unsigned int adler32_comb(unsigned int adler1, unsigned int adler2, unsigned long len2);
  // Stores the value as 4 bytes, most significant first.
  static void put4m(unsigned char* out, unsigned int value);

  uint8_t* mSrc;      // first byte of the slice in the page bitmap
  uint8_t* mDst;      // in: start of the output slot; out: 2 bytes on, past the zlib header
  int32_t mSrcLen;    // bytes of bitmap covered by the slice, padding included
  int32_t mDstLen;    // in: room in the slot; out: bytes of raw Deflate data from mDst on,
                      // or -1 when the slice could not be compressed (no room, zlib failure)
  int32_t mTotalIn;   // out: bytes fed to the compressor (padding excluded)
  int32_t mRowBytes;  // bytes compressed per row
  int32_t mRowSkip;   // bytes skipped after each row
  bool mLast;         // last slice of the page: ends with the final block
  uint32_t mAdler;    // out: Adler-32 of the bytes fed to the compressor
};

// Bytes of bitmap per slice: 1 MiB if the row stride divides it, else 1 MiB
// rounded up to the next multiple of the stride. The slicing depends on the
// page alone, never on the machine, so that a page gives the same stream on
// every machine.
int ZLibSliceSize(int stride);

// Output room for one slice, enough for Deflate's worst case plus the zlib
// header, trailer and the flush: slice x 1.001 + 12 rounded up to 64.
int ZLibSlotSize(int sliceSize);

// Slices of a page of `rows` rows: the bitmap size divided by the slice size,
// rounded up, and never less than 1: a page without rows still needs one
// (empty) last slice to end the stream with a final block.
int ZLibSliceCount(int rows, int stride);

// The compression queue on which every ZLibTask runs. It is started on first
// use; when its threads cannot be started this throws the reason as a C
// string. A scan job starts it before its first page (StartZLibTaskQ), so
// that during a scan it is there.
TaskQ* ZLibTaskQ();
// Starts the compression queue if it is not running yet; false with the
// reason in *error when it cannot be started.
bool StartZLibTaskQ(std::string* error);
