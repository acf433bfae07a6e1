// One slice of a page deflated on the compression queue, and DeflatePage,
// which runs a whole page as such slices.
//
// A large gray or colour page is compressed in parallel: cut into slices of
// whole rows of about 1 MiB, each slice deflated by its own ZLibTask, and the
// slices joined in order into one zlib stream with one header and one
// Adler-32 over the packed rows of the whole page (DeflatePage below).
//
// The task neither allocates nor frees its input or output; both belong to
// the caller, who must keep them unchanged until the task is joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "MallocBuffer.h"
#include "TaskQ.h"

class ZLibTask : public Task {
 public:
  // The whole source is one row with no padding.
  ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen);
  // Rows of rowBytes bytes, each followed by rowSkip bytes that are not
  // compressed (row padding). The form the writers use.
  ZLibTask(void* src, int srcLen, bool last, void* dst, int dstLen, int rowBytes, int rowSkip);
  ~ZLibTask() override = default;

  // Throws std::bad_alloc when the compressor finds no memory (its worker
  // sets mFailed).
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

// Receives the pieces of a deflated page in order; returns false to have the
// rest dropped (the slices are still joined).
using DeflateSink = std::function<bool(const uint8_t* data, size_t len)>;

// Deflates `rows` rows of `packedRow` bytes, `stride` bytes apart, in slices
// of ZLibSliceSize running at once on the compression queue, and hands the
// stream to `sink`: the zlib header, each slice's output, the Adler-32 of
// all rows. The pieces point into *buffer, which must outlive their use.
// Returns false when a slice could not be compressed or the sink refused a
// piece; throws std::bad_alloc when the output buffer or a slice's
// compressor finds no memory. Every slice handed to the queue has finished
// when this returns, also by an exception (the queue cannot start: a C
// string; no memory; the sink throws).
bool DeflatePage(const uint8_t* bits, int64_t stride, int64_t rows, int64_t packedRow,
                 const DeflateSink& sink, ZuzuvovOvav::MallocBuffer* buffer);
