// ScanImage: one side (front or back) of one scanned sheet, while the
// scanner's bytes for it arrive and afterwards as the finished page that the
// writers read.
//
// It is an ImageInfo (geometry, bitmap, tone table, copy of the job's
// parameters) plus one owned implementation, chosen from the image type and
// the job's options (ScanImageImpl.h).
//
// Calling order (one feeding thread): construct; AppendBytes any number of
// times, in any chunking; SetScanLen when the paper length is known (after
// the side's last bytes); PostProcess once; the writer reads the fields and
// mBitMap; delete. GetCurScanLen may be called from any thread at any time.
//
// Failed sides. A side can fail without taking the process down:
//   - its JPEG stream is corrupt (the decoder's error, or a corrupt-data
//     warning, ends decoding of this side only), or it ended before the
//     paper length (before the image's last line while that is not known;
//     checked by PostProcess);
//   - a page bitmap or another large block for it could not be allocated
//     (ImageInfo::AllocFailed(), checked after construction and after each
//     call), or any other memory for it, its preview included;
//   - its image type, or its colour order and layout, has no page buffer.
// Once Failed() is true, further calls do nothing, no preview is sent, and
// GetErrorText() names the cause (for a decoder error it carries the
// library's message). The owner must not write a failed side: it ends the
// job with an error and keeps the pages already written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FirstFailure.h"
#include "ImageInfo.h"

namespace ZuzuvovOvav {

class ScanImage_ImplBase;

class ScanImage : public ImageInfo {
 public:
  ScanImage(ScanParams params, SideSelectE side, ColorOrderE order, ColorPlanarE planar);
  ~ScanImage();
  ScanImage(const ScanImage&) = delete;
  ScanImage& operator=(const ScanImage&) = delete;

  void AppendBytes(const unsigned char* data, int len);
  void SetScanLen(int lines);
  int GetCurScanLen() const;
  // Before PostProcess, for a side whose data ended early (the scan stopped
  // in the middle of it): it is finished with what arrived, the rest white.
  // False when nothing of it arrived (no line of a JPEG side): it is then
  // no page.
  bool EndCutShort();
  void PostProcess();

  // See "Failed sides" above.
  bool Failed() const { return mFailure.Failed(); }
  const char* GetErrorText() const { return mFailure.Text(); }

  ScanImage_ImplBase* Impl() const { return mImpl.get(); }

 private:
  // Takes over a failure of the implementation or of an allocation.
  void CheckFailure();
  // Runs a step of the implementation; running out of memory in it fails
  // the side with `noMemoryText`.
  template <class Step>
  void RunStep(const char* noMemoryText, Step step);

  std::unique_ptr<ScanImage_ImplBase> mImpl;
  bool mPostProcessed = false;
  FirstFailure mFailure;
};

}  // namespace ZuzuvovOvav
