// The scanner's command set and the transport that runs one command.
//
// Every exchange with the scanner is one Command object: a SCSI-style CDB
// wrapped in a 31-byte USB command block, an optional data phase in one
// direction and a 13-byte status block, all over the two bulk pipes of the
// opened Device. Commands are built as local objects on the scan thread,
// sent once with SendToScanner() and read; they are not thread-safe.
//
// A command reports in two layers: SendToScanner() returns a transport code
// (0 when the USB exchange worked, text in mErrMsg); with code 0, a non-zero
// mResult.mStatus is a failure the scanner reported (text in mSenseMsg after
// a check condition). Callers test in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "FujiDevice.h"
#include "FujiScanEnums.h"
#include "FujiScanParams.h"

namespace ZuzuvovOvav {

// Outcome of one command: the status of its status block and, after a check
// condition, the fixed-format sense data fetched for it.
struct Result {
  Result() { Clear(); }
  void Clear();

  uint8_t mStatus;       // 0 good, 1 check condition, 4 busy
  bool mValid;           // sense byte 0 bit 7
  uint8_t mErrorCode;    // sense byte 0 & 0x7F
  bool mFilemark;        // sense byte 2 bit 7
  bool mEom;             // sense byte 2 bit 6
  bool mIli;             // sense byte 2 bit 5, incorrect length: set by the scanner at the end of a side
  uint8_t mSenseKey;     // sense byte 2 & 0x0F
  int32_t mInfo;         // sense bytes 3 to 6
  uint8_t mAsc;          // sense byte 12
  uint8_t mAscq;         // sense byte 13
  uint32_t mXferCount;   // bytes received in the data-in phase
};

// SCSI status codes of the status block.
enum ScsiStatusE : uint8_t { kScsiGood = 0, kScsiCheckCondition = 1, kScsiBusy = 4 };

// The sense keys the engine tells apart; their texts are in FujiSense.cpp.
enum SenseKeyE : uint8_t {
  kSenseNone = 0x0,
  kSenseNotReady = 0x2,
  kSenseMedium = 0x3,
  kSenseHardware = 0x4,
  kSenseIllegalRequest = 0x5,
  kSenseUnitAttention = 0x6,
  kSenseAborted = 0xB,
};

// Questions the scan job asks of a command's outcome (defined beside the
// sense texts in FujiSense.cpp).
// Busy, or a medium error saying that image data is not ready yet.
bool IsDataNotReady(const Result& r);
// Check condition with sense key "not ready" (the lamp warms up, the
// scanner is still busy with the sheet).
bool IsUnitNotReady(const Result& r);
// Check condition with the filemark: the side has been sent whole.
bool IsEndOfSide(const Result& r);
// Check condition without a sense key (informational only).
bool IsNoSenseCondition(const Result& r);
// IsNoSenseCondition with the end-of-medium flag: the feeder has no sheet.
bool IsEndOfMedium(const Result& r);
// A medium error of the paper itself: jam, cover open, double feed, feed issue.
bool IsPaperError(const Result& r);
// A load that found no paper on the hopper.
bool IsHopperEmpty(const Result& r);
// A medium error reported by the feeder (ASC 0x80), the empty hopper included.
bool IsFeederError(const Result& r);

// Formats "Command %s: error (0x%x: 0x%x, 0x%x, 0x%x) %s." with the code split
// into system, subsystem and code proper; returns what snprintf returns.
int BuildErrMsg(char* out, size_t size, const char* cmdName, int code, const char* phaseText);

constexpr int kCmdBlockLen = 31;
constexpr int kStatusBlockLen = 13;
constexpr int kMsgLen = 256;

class Command {
 public:
  Command(Device& device, uint8_t opcode);
  virtual ~Command();
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Runs the command; returns the transport code (0 when the exchange worked).
  virtual int SendToScanner();
  virtual const char* GetCommandName() const = 0;
  virtual bool SendsData() const { return false; }
  // Called first by SendToScanner: commands fill late CDB or data bytes here.
  virtual void PrepareToSendSelf() {}
  virtual const uint8_t* GetSendBytes() { return nullptr; }
  virtual int GetSendBytesLen() const { return 0; }
  virtual bool ReceivesData() const { return false; }
  virtual uint8_t* GetRcvBytes() { return nullptr; }
  virtual int GetRcvBytesLen() const { return 0; }
  // Parses the reply; called by the transport after good status only.
  virtual void ProcessReturnSelf() {}
  // Text for the sense key, ASC and ASCQ in mResult.
  virtual const char* GetSenseStr() const;

  // "%s (%s %02x:%02x:%02x)": sense text, command name, key, ASC, ASCQ.
  void BuildSenseMsg();
  void SetSenseMsg(const char* text);

  Result mResult;
  uint8_t mCmdBlock[kCmdBlockLen];
  uint8_t* mCdb;  // byte 19 of mCmdBlock
  char mErrMsg[kMsgLen];
  char mSenseMsg[kMsgLen];
  Device& mDevice;
  std::ostringstream mReqDesc;    // trace description of the request
  std::ostringstream mReplyDesc;  // trace description of the reply

 private:
  int Fail(int code, const char* phaseText);
  int ReadDataIn(uint32_t delay, uint32_t* total);
};

// The outcome of sending one command, classified in the two layers described
// at the top of this file. This is the device layer's one error form: a
// failure is a code with the text of the object that failed (a command's
// mErrMsg or mSenseMsg, the Device's GetErrMsg()), never an exception; the
// layers above read a command's texts through this class.
class CommandOutcome {
 public:
  enum KindE { kGood, kTransportFailed, kScannerFailed };

  CommandOutcome(const Command& cmd, int code);

  KindE Kind() const { return mKind; }
  bool Good() const { return mKind == kGood; }
  bool TransportFailed() const { return mKind == kTransportFailed; }
  bool ScannerFailed() const { return mKind == kScannerFailed; }
  int Code() const { return mCode; }
  const Result& GetResult() const;
  // The failure's text: the transport text, else the sense text; empty on success.
  const char* Text() const;
  // True when the failure has a cause to name: a transport failure, or a
  // scanner failure with a sense key (busy and "no sense" name none).
  bool NamesCause() const;

 private:
  const Command* mCmd;
  int mCode;
  KindE mKind;
};

// Sends `cmd` once and classifies the outcome.
CommandOutcome SendCommand(Command& cmd);

// A command without a data phase.
class CmdNoData : public Command {
 public:
  using Command::Command;
};

// A command whose reply of N bytes arrives in a buffer inside the object.
// The buffer starts zeroed, so a short reply parses deterministically.
template <int N>
class Cmd_ReceivesData : public Command {
 public:
  Cmd_ReceivesData(Device& device, uint8_t opcode) : Command(device, opcode) { std::memset(mRcvBytes, 0, N); }
  bool ReceivesData() const override { return true; }
  uint8_t* GetRcvBytes() override { return mRcvBytes; }
  int GetRcvBytesLen() const override { return N; }

 protected:
  uint8_t mRcvBytes[N];
};

// A command whose reply arrives in a malloc'ed buffer that the caller can
// take over without a copy (AdoptRcvBytes; the caller then frees it with free()).
// When the buffer cannot be allocated, GetRcvBytes() is null and
// SendToScanner fails with kIOReturnNoMemory before the scanner is asked.
class Cmd_ReceivesDataShared : public Command {
 public:
  Cmd_ReceivesDataShared(Device& device, uint8_t opcode, int size);
  ~Cmd_ReceivesDataShared() override;
  bool ReceivesData() const override { return true; }
  uint8_t* GetRcvBytes() override { return mRcvBytes; }
  int GetRcvBytesLen() const override { return mRcvLen; }
  uint8_t* AdoptRcvBytes();

 protected:
  uint8_t* mRcvBytes;
  int mRcvLen;
  bool mAdopted = false;
};

// A command that sends N bytes (or fewer, when a subclass says so) from a
// buffer inside the object.
template <int N>
class Cmd_SendsData : public Command {
 public:
  Cmd_SendsData(Device& device, uint8_t opcode) : Command(device, opcode) { std::memset(mSendBytes, 0, N); }
  bool SendsData() const override { return true; }
  const uint8_t* GetSendBytes() override { return mSendBytes; }
  int GetSendBytesLen() const override { return N; }

 protected:
  uint8_t mSendBytes[N];
};

// ---------------------------------------------------------------- command set

class Cmd_TestUnitReady : public CmdNoData {
 public:
  explicit Cmd_TestUnitReady(Device& device) : CmdNoData(device, 0x00) {}
  const char* GetCommandName() const override { return "Cmd_TestUnitReady"; }
};

constexpr int kSenseLen = 18;

// Fixed-format sense data; the transport sends it after a check condition
// and copies its Result into the failed command.
class Cmd_RequestSense : public Cmd_ReceivesData<kSenseLen> {
 public:
  explicit Cmd_RequestSense(Device& device);
  const char* GetCommandName() const override { return "Cmd_RequestSense"; }
  void ProcessReturnSelf() override;
};

class Cmd_InquiryStd : public Cmd_ReceivesData<96> {
 public:
  explicit Cmd_InquiryStd(Device& device);
  const char* GetCommandName() const override { return "Cmd_InquiryStd"; }
  void ProcessReturnSelf() override;

  char mVendor[9] = {};
  char mProductText[17] = {};
  char mRevision[4] = {};
};

constexpr int kEvpdLen = 100;

// The vendor page 0xF0. Its values are decoded by position; the engine only
// needs the command to succeed.
class Cmd_InquiryEvpd : public Cmd_ReceivesData<kEvpdLen> {
 public:
  explicit Cmd_InquiryEvpd(Device& device);
  const char* GetCommandName() const override { return "Cmd_InquiryEvpd"; }
  void ProcessReturnSelf() override;
  // A flag bit of the page; only the decoded bits are ever true.
  bool Flag(int byte, int bit) const { return (mFlagBits[byte] >> bit) & 1; }

  uint16_t mShorts[6] = {};  // bytes 5-6, 7-8, 10-11, 12-13, 14-15, 16-17
  uint8_t mByte9 = 0;
  uint32_t mLongs[3] = {};   // bytes 20-23, 24-27, 34-37
  uint8_t mNibble33 = 0;     // byte 33 & 0x0F
  uint8_t mFlagBits[kEvpdLen] = {};
};

// MODE SELECT of one 6-byte mode page; the page classes below fill it.
class Cmd_ModeSelect : public Cmd_SendsData<12> {
 public:
  Cmd_ModeSelect(Device& device, uint8_t pageCode);
  const char* GetCommandName() const override { return "Cmd_ModeSelect"; }
};

class Cmd_ModeSelect_ResetAll : public Cmd_ModeSelect {
 public:
  explicit Cmd_ModeSelect_ResetAll(Device& device);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_ResetAll"; }
};

enum PrepickModeE : uint8_t { kPrepickDefault = 0 };

class Cmd_ModeSelect_Prepick : public Cmd_ModeSelect {
 public:
  Cmd_ModeSelect_Prepick(Device& device, PrepickModeE mode);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_Prepick"; }
};

enum BufferedScanModeE : uint8_t { kBufferedScanOn = 0xC0 };

class Cmd_ModeSelect_BufferedScan : public Cmd_ModeSelect {
 public:
  Cmd_ModeSelect_BufferedScan(Device& device, BufferedScanModeE mode);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_BufferedScan"; }
};

class Cmd_ModeSelect_AutoLength : public Cmd_ModeSelect {
 public:
  Cmd_ModeSelect_AutoLength(Device& device, bool on);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_AutoLength"; }
};

class Cmd_ModeSelect_DoubleFeedOptions : public Cmd_ModeSelect {
 public:
  Cmd_ModeSelect_DoubleFeedOptions(Device& device, bool byThickness, bool byLength, bool keepScanning);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_DoubleFeedOption"; }
};

class Cmd_ModeSelect_ResetCounter : public Cmd_ModeSelect {
 public:
  explicit Cmd_ModeSelect_ResetCounter(Device& device);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_ResetCounter"; }
};

class Cmd_ModeSelect_AutoColor : public Cmd_ModeSelect {
 public:
  Cmd_ModeSelect_AutoColor(Device& device, bool on);
  const char* GetCommandName() const override { return "Cmd_ModeSelect_AutoColor"; }
};

class Cmd_Reserve : public CmdNoData {
 public:
  explicit Cmd_Reserve(Device& device) : CmdNoData(device, 0x16) {}
  const char* GetCommandName() const override { return "Cmd_Reserve"; }
};

class Cmd_Release : public CmdNoData {
 public:
  explicit Cmd_Release(Device& device) : CmdNoData(device, 0x17) {}
  const char* GetCommandName() const override { return "Cmd_Release"; }
};

// SCAN: starts scanning the selected windows.
class Cmd_Scan : public Cmd_SendsData<2> {
 public:
  // Both windows for a duplex job, else the front window.
  Cmd_Scan(Device& device, const ScanParams& params);
  // Windows as a mask of SideSelectE; the back alone is allowed.
  Cmd_Scan(Device& device, int sides);
  const char* GetCommandName() const override { return "Cmd_Scan"; }
  void PrepareToSendSelf() override;
  int GetSendBytesLen() const override { return mFront && mBack ? 2 : 1; }

 private:
  bool mFront;
  bool mBack;
};

// RECEIVE DIAGNOSTIC RESULTS with an N-byte reply.
template <int N>
class Cmd_ReceiveDiagnosticResults : public Cmd_ReceivesData<N> {
 public:
  explicit Cmd_ReceiveDiagnosticResults(Device& device) : Cmd_ReceivesData<N>(device, 0x1C) {
    this->mCdb[3] = uint8_t(N >> 8);
    this->mCdb[4] = uint8_t(N);
  }
  const char* GetCommandName() const override { return "Cmd_ReceiveDiagnosticResults"; }
};

class Cmd_ReceiveDiagnosticResults__FirmwareVersion : public Cmd_ReceiveDiagnosticResults<16> {
 public:
  explicit Cmd_ReceiveDiagnosticResults__FirmwareVersion(Device& device) : Cmd_ReceiveDiagnosticResults<16>(device) {}
  const char* GetCommandName() const override { return "Cmd_ReceiveDiagnosticResults__FirmwareVersion"; }
  void ProcessReturnSelf() override;

  char mVersion[4][5] = {};  // empty when the scanner sends FF FF FF FF
};

class Cmd_ReceiveDiagnosticResults__Counts : public Cmd_ReceiveDiagnosticResults<12> {
 public:
  explicit Cmd_ReceiveDiagnosticResults__Counts(Device& device) : Cmd_ReceiveDiagnosticResults<12>(device) {}
  const char* GetCommandName() const override { return "Cmd_ReceiveDiagnosticResults__Counts"; }
  void ProcessReturnSelf() override;

  int32_t mCount[5] = {};
};

// Largest READ the engine asks for when no length is given.
constexpr int kDefaultReadLen = 524288;

// READ image data into a heap buffer; mResult.mXferCount tells how much arrived.
class Cmd_ReadImage : public Cmd_ReceivesDataShared {
 public:
  Cmd_ReadImage(Device& device, WhichWindowE window, int length);
  const char* GetCommandName() const override { return "Cmd_ReadImage"; }
};

class Cmd_ReadPixelSize : public Cmd_ReceivesData<24> {
 public:
  explicit Cmd_ReadPixelSize(Device& device);
  const char* GetCommandName() const override { return "Cmd_ReadPixelSize"; }
  void ProcessReturnSelf() override;

  uint32_t mPixelWidth = 0;
  uint32_t mPixelLength = 0;
  uint32_t mPaperLength = 0;
};

class Cmd_ObjectPosition : public CmdNoData {
 public:
  enum ObjPositionE : uint8_t { kUnload = 0, kLoad = 1 };
  Cmd_ObjectPosition(Device& device, ObjPositionE position);
  const char* GetCommandName() const override { return "Cmd_ObjectPosition"; }
};

constexpr int kHardwareStatusLen = 11;

class Cmd_GetHardwareStatus : public Cmd_ReceivesData<kHardwareStatusLen> {
 public:
  explicit Cmd_GetHardwareStatus(Device& device);
  const char* GetCommandName() const override { return "Cmd_GetHardwareStatus"; }
  void ProcessReturnSelf() override;
  // A flag bit of the reply; only the decoded bits are ever true.
  bool Flag(int byte, int bit) const { return (mFlagBits[byte] >> bit) & 1; }

  bool mDoubleFeed = false;  // byte 6 bit 0
  uint8_t mNibble5 = 0;      // byte 5 & 0x0F
  uint8_t mFlagBits[kHardwareStatusLen] = {};
};

// SCANNER CONTROL; function 5 asks whether the lamp is ready, which the
// scanner answers with "not ready" while it warms up.
class Cmd_ScannerControl : public CmdNoData {
 public:
  enum ControlFuncE : uint8_t {
    kSelectFeeder = 0,
    kSelectFlatbed = 1,
    kControl4 = 4,
    kLampReadyCheck = 5,
    kControl9 = 9,
    kControl13 = 13,
    kReadImageCheck = 0x10,
  };
  Cmd_ScannerControl(Device& device, ControlFuncE function);
  const char* GetCommandName() const override { return "Cmd_ScannerControl"; }
  const char* GetSenseStr() const override;
};

// READ IMAGE CHECK: good status when `length` bytes of the window are ready.
class Cmd_ReadImageCheck : public Cmd_ScannerControl {
 public:
  Cmd_ReadImageCheck(Device& device, WhichWindowE window, int length);
  const char* GetCommandName() const override { return "Cmd_ReadImageCheck"; }
};

// ------------------------------------------------------- window and tone table

// One side's parameters as the window descriptor takes them.
class Cmd_WdwRec : public ScanParams {
 public:
  Cmd_WdwRec() = default;
  explicit Cmd_WdwRec(const ScanParams& params) : ScanParams(params) {}
};

constexpr int kWdwDescLen = 64;
constexpr int kWdwHeaderLen = 8;

// SET WINDOW with the front window, the back window or both.
class Cmd_SetWindow : public Cmd_SendsData<kWdwHeaderLen + 2 * kWdwDescLen> {
 public:
  Cmd_SetWindow(Device& device, const Cmd_WdwRec* front, const Cmd_WdwRec* back);
  const char* GetCommandName() const override { return "Cmd_SetWindow"; }
  // Builds the parameter data afresh on every call.
  const uint8_t* GetSendBytes() override;
  int GetSendBytesLen() const override;

  // Bytes 1 to 63 of one descriptor; the caller writes the id in byte 0.
  void SetupWdwParamBytes(const ScanParams& params, uint8_t* out) const;
  // One whole descriptor of the front or back copy with its id.
  void SetupWdwBytes(WhichWindowE window, uint8_t* out) const;

  ScanParams mFront;
  ScanParams mBack;
  bool mHasFront;
  bool mHasBack;
};

constexpr int kLutDataLen = 266;

// SEND of a 256-entry tone table.
class Cmd_SendLut : public Cmd_SendsData<kLutDataLen> {
 public:
  enum LutTypeE : int { kLutNormal = 0, kLutSoft = 1, kLutSharp = 2 };
  Cmd_SendLut(Device& device, LutTypeE type);
  const char* GetCommandName() const override { return "Cmd_SendLut"; }
  void PrepareToSendSelf() override;

  static const uint8_t sLutNormal[256];
  static const uint8_t sLutSoft[256];
  static const uint8_t sLutSharp[256];

  LutTypeE mLutType;
};

// Reads one status block on its own; nothing in the engine uses it.
class Status {
 public:
  explicit Status(Device& device) : mDevice(device) {}
  // Reads up to 13 bytes from the IN pipe; returns the transport code.
  int Read();
  // Bytes 9 to 12 as "0x%02x 0x%02x 0x%02x 0x%02x".
  const char* Text();

  uint8_t mBytes[kStatusBlockLen] = {};
  uint32_t mCount = 0;

 private:
  Device& mDevice;
  char mText[32] = {};
};

}  // namespace ZuzuvovOvav
