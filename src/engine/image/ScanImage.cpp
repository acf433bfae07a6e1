// ScanImage: picks the implementation for a side and keeps its first
// failure (see ScanImage.h).
#include "ScanImage.h"

#include <cstdint>
#include <memory>
#include <iostream>
#include <new>

#include "ScanImageImpl.h"

namespace ZuzuvovOvav {

ScanImage::ScanImage(ScanParams params, SideSelectE side, ColorOrderE order, ColorPlanarE planar)
    : ImageInfo(params, side) {
  // Pages beyond these sizes cannot be addressed by the buffers' line and
  // sample counters; treat them like a failed allocation.
  constexpr uint32_t kMaxSide = 1u << 24;
  if (mWidth > kMaxSide || mHeight > kMaxSide) {
    mAllocFailed = true;
    mAllocFailedBytes = SIZE_MAX;
    CheckFailure();
    return;
  }
  try {
    if (mImageType == kImageTypeLineArt && mParams.mDespeckleFactor <= 0)
      mImpl = std::make_unique<ScanImage_Impl1Plain>(this);
    else if (mImageType == kImageTypeLineArt)
      mImpl = std::make_unique<ScanImage_Impl1Despeckle>(this);
    else if (mParams.mTurbo)
      mImpl = std::make_unique<ScanImage_Impl1Turbo>(this);
    else if (mImageType == kImageTypeColor)
      mImpl = mParams.mWillUseJpeg
                  ? std::make_unique<ScanImage_Impl24>(this, kColorOrderRGB, kColorPixelInterleaved)
                  : std::make_unique<ScanImage_Impl24>(this, order, planar);
    else if (mImageType == kImageTypeGray)
      mImpl = std::make_unique<ScanImage_Impl8>(this);
  } catch (const std::bad_alloc&) {
    mFailure.Set("not enough memory for the side's page buffers");
    return;
  }
  if (gVerbose)
    std::clog << "new image 0x" << std::hex << reinterpret_cast<uintptr_t>(this) << " impl: "
              << reinterpret_cast<uintptr_t>(mImpl.get()) << std::dec << "\n";
  if (!mImpl) {
    mFailure.Set("image type %d has no page buffer", int(mImageType));
    return;
  }
  CheckFailure();
}

ScanImage::~ScanImage() = default;

void ScanImage::CheckFailure() {
  if (mFailure.Failed()) return;
  if (mAllocFailed && mAllocFailedBytes == SIZE_MAX)
    mFailure.Set("page of %u x %u pixels is too large", unsigned(mWidth), unsigned(mHeight));
  else if (mAllocFailed)
    mFailure.Set("not enough memory for the page (%zu bytes)", mAllocFailedBytes);
  else if (mImpl && mImpl->Failed())
    mFailure.Set("%s", mImpl->GetErrorText());
}

template <class Step>
void ScanImage::RunStep(const char* noMemoryText, Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    mFailure.Set("%s", noMemoryText);
  }
  CheckFailure();
}

void ScanImage::AppendBytes(const unsigned char* data, int len) {
  if (mFailure.Failed() || !mImpl) return;
  RunStep("not enough memory while decoding the side", [&] { mImpl->AppendBytes(data, len); });
}

void ScanImage::SetScanLen(int lines) {
  if (mFailure.Failed() || !mImpl) return;
  RunStep("not enough memory while decoding the side", [&] { mImpl->SetScanLen(lines); });
}

int ScanImage::GetCurScanLen() const { return mImpl ? mImpl->GetCurScanLen() : ImageInfo::GetCurScanLen(); }

bool ScanImage::EndCutShort() {
  bool any = true;
  if (!mFailure.Failed() && mImpl)
    RunStep("not enough memory to finish the page", [&] { any = mImpl->EndCutShort(); });
  return any;
}

void ScanImage::PostProcess() {
  if (mFailure.Failed() || !mImpl || mPostProcessed) return;
  mPostProcessed = true;
  RunStep("not enough memory to finish the page", [&] { mImpl->PostProcess(); });
}

}  // namespace ZuzuvovOvav
