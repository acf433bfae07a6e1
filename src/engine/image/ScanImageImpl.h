// The implementations behind ScanImage, one per kind of side:
//   ScanImage_Impl1Plain      line art                (Buf_Expand1 -> Buf_Input1Plain)
//   ScanImage_Impl1Despeckle  line art with despeckle (-> Buf_Convolve1 -> Buf_Input1Threshold)
//   ScanImage_Impl8           gray                    (Buf_Input8)
//   ScanImage_Impl24          colour                  (a Buf_Input24Base variant)
//   ScanImage_Impl1Turbo      turbo line art          (Buf_Input8 + Buf_CalcStaticThreshold8,
//                                                      then Buf_Turbo8 and Buf_Turbo1)
// Gray, colour and turbo sides may arrive as one JPEG stream (mWillUseJpeg):
// JpegSideDecoder decodes it as the chunks arrive, and the decoded lines
// reach the page buffer in blocks of 64 (gray, turbo) or 16 (colour) lines.
// Calling order and failures: see ScanImage.h.
#pragma once

#include <cstdint>
#include <memory>

#include "FirstFailure.h"
#include "ImageInfo.h"
#include "JpegSideDecoder.h"
#include "ScanImageBuf.h"

namespace ZuzuvovOvav {

class ScanImage_ImplBase {
 public:
  explicit ScanImage_ImplBase(ImageInfo* info) : mImageInfo(info) {}
  virtual ~ScanImage_ImplBase();
  ScanImage_ImplBase(const ScanImage_ImplBase&) = delete;
  ScanImage_ImplBase& operator=(const ScanImage_ImplBase&) = delete;

  // Consumes one chunk of scanner bytes.
  virtual void AppendBytesSelf(const unsigned char* data, int len) = 0;
  // Publishes the lines completed so far into the ImageInfo.
  virtual void UpdateCurScanLen() = 0;
  // The final paper length in scanner lines.
  virtual void SetScanLen(int lines) = 0;
  virtual uint32_t GetLineSize() const;
  virtual uint32_t GetActualLineCount() const;
  // Finishes the page after the last byte.
  virtual void PostProcess() = 0;
  // The side's data ended before the side did (the scan stopped in the
  // middle of it): what arrived is kept, the rest of the page stays white.
  // False when nothing of the page arrived.
  virtual bool EndCutShort() { return true; }

  void AppendBytes(const unsigned char* data, int len);
  int GetCurScanLen() const;

  bool Failed() const { return mFailure.Failed(); }
  const char* GetErrorText() const { return mFailure.Text(); }

 protected:
  ImageInfo* mImageInfo;
  FirstFailure mFailure;
};

// Common part of the implementations whose sides may arrive as one JPEG
// stream (gray, colour, turbo): the side's decoder and the steps each of
// them takes with it. Decoded lines come back through the JpegLineSink.
class ScanImage_JpegImplBase : public ScanImage_ImplBase, protected JpegLineSink {
 protected:
  explicit ScanImage_JpegImplBase(ImageInfo* info) : ScanImage_ImplBase(info) {}

  // For a JPEG side (mWillUseJpeg), sets up the decoder; one that cannot
  // start fails the side.
  void StartJpeg(int ringLines, int lineSize, JpegSideDecoder::Output output);
  // For a JPEG side, feeds the chunk to the decoder, failing the side on a
  // decoder error, and returns true; false for a raw side.
  bool AppendJpeg(const unsigned char* data, int len);
  // For a JPEG side that has not failed, hands the decoded lines still in
  // the ring to the page once the paper length (`lines`) is known.
  void FlushJpeg(int lines);
  // False, with the side failed, when a JPEG side's stream ended before the
  // paper length, or before the image's last line when that is not known.
  // A stream that ended after the paper length gives the page cut to it.
  bool JpegComplete();
  // A JPEG side keeps the lines decoded so far (those of the blocks that
  // arrived whole); without any line it has nothing to show.
  bool EndCutShort() override;

  std::unique_ptr<JpegSideDecoder> mJpeg;  // JPEG sides only
  int mPaperLines = -1;                    // paper length once known
  bool mCutShort = false;                  // EndCutShort was called
};

class ScanImage_Impl1Plain final : public ScanImage_ImplBase {
 public:
  explicit ScanImage_Impl1Plain(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  Buf_Expand1 mExpand;
  Buf_Input1Plain mPack;
};

class ScanImage_Impl1Despeckle final : public ScanImage_ImplBase {
 public:
  explicit ScanImage_Impl1Despeckle(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  // Moves the convolver's final pels into the packer; false when the packer
  // took none of them.
  bool DrainConvolver();

  Buf_Expand1 mExpand;
  Buf_Convolve1 mConvolve;
  Buf_Input1Threshold mPack;
};

class ScanImage_Impl8 final : public ScanImage_JpegImplBase {
 public:
  explicit ScanImage_Impl8(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  Buf_Input8 mBuf;
};

class ScanImage_Impl24 final : public ScanImage_JpegImplBase {
 public:
  ScanImage_Impl24(ImageInfo* info, ColorOrderE order, ColorPlanarE planar);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

  const Buf_Input24Base* Buffer() const { return mBuf.get(); }

 private:
  void AppendRaw(const unsigned char* data, int len);
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  std::unique_ptr<Buf_Input24Base> mBuf;
  ColorPlanarE mPlanar;
  // Raw data: bytes of the current scanner line received so far, and a
  // pixel split between two chunks (its first one or two bytes).
  int mLinePos = 0;
  uint8_t mCarry[3] = {};
  int mCarryLen = 0;
};

class ScanImage_Impl1Turbo final : public ScanImage_JpegImplBase {
 public:
  explicit ScanImage_Impl1Turbo(ImageInfo* info);
  ~ScanImage_Impl1Turbo() override;
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;
  bool EndCutShort() override;

  const Buf_CalcStaticThreshold8& Statistic() const { return *mStat; }

 private:
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  std::unique_ptr<Buf_Input8> mBuf;
  std::unique_ptr<Buf_CalcStaticThreshold8> mStat;
  std::unique_ptr<Buf_Turbo1> mTurbo1;
};

}  // namespace ZuzuvovOvav
