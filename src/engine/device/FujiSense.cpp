// Sense texts, the scan job's questions about an outcome, and CommandOutcome.
//
// The sense texts describe the sense data the scanner returns after a check
// condition; they reach the user as the scan job's error text.
#include "FujiCmds.h"

namespace ZuzuvovOvav {

namespace {

// Medium errors are told apart by the qualifier alone.
const char* MediumErrorText(uint8_t ascq) {
  switch (ascq) {
    case 0x01: return "Paper jam detected";
    case 0x02: return "Automatic document feeder cover is open";
    case 0x03: return "No paper on hopper";
    case 0x07: return "Double feed error";
    case 0x80: return "Paper feed issue";
    default: return "Medium error";
  }
}

const char* HardwareErrorText(uint8_t ascq) {
  static const char* const kTexts[] = {
      "Internal malfunction (EEPROM error)",
      "Hardware error",
      "Hardware error",
      "Hardware error",
      "Fuse ADF motor blown",
      "Running system error",
      "Optical error",
  };
  return ascq < sizeof kTexts / sizeof kTexts[0] ? kTexts[ascq] : "Hardware error";
}

const char* IllegalRequestText(uint8_t asc, uint8_t ascq) {
  switch (asc) {
    case 0x00: return "Operation error (paper edge detected before scanning)";
    case 0x20: return "Invalid command";
    case 0x24: return "Invalid CDB field";
    case 0x26: return "Invalid parameter";
    case 0x2C:
      if (ascq == 0x00) return "Command sequence error";
      if (ascq == 0x02) return "Wrong window combination";
      return "Sequence/window error";
    default: return "Invalid request";
  }
}

const char* UnitAttentionText(uint8_t asc) {
  switch (asc) {
    case 0x00: return "Unit Attention (reset)";
    case 0x80: return "Unit Attention (shift to energy-saving mode)";
    default: return "unit attention";
  }
}

const char* AbortedCommandText(uint8_t asc, uint8_t ascq) {
  switch (asc) {
    case 0x43: return "Message error";
    case 0x45: return "Select/Reset failure";
    case 0x47: return "SCSI parity error";
    case 0x48: return "Initiator detected error message received";
    case 0x4E: return "Overlapped commands attempted";
    case 0x80:
      if (ascq == 0x01) return "Image transfer error";
      if (ascq == 0x03) return "Overflow of code data at JPEG scanning";
      return "Transfer/overflow error";
    default: return "Interrupted command";
  }
}

}  // namespace

const char* Command::GetSenseStr() const {
  const uint8_t asc = mResult.mAsc;
  const uint8_t ascq = mResult.mAscq;
  switch (mResult.mSenseKey) {
    case kSenseNone: return "No sense data";
    case kSenseNotReady: return "Not ready";
    case kSenseMedium: return MediumErrorText(ascq);
    case kSenseHardware: return HardwareErrorText(ascq);
    case kSenseIllegalRequest: return IllegalRequestText(asc, ascq);
    case kSenseUnitAttention: return UnitAttentionText(asc);
    case kSenseAborted: return AbortedCommandText(asc, ascq);
    default: return "Unknown sense code";
  }
}

// The lamp readiness check answers "not ready" while the lamp warms up.
const char* Cmd_ScannerControl::GetSenseStr() const {
  if (mCdb[1] == kLampReadyCheck && IsUnitNotReady(mResult)) return "Lamp still warming up";
  return Command::GetSenseStr();
}

namespace {

// Medium-error qualifiers of the feeder (ASC 0x80).
constexpr uint8_t kAscFeeder = 0x80;
constexpr uint8_t kAscqNoPaper = 0x03;
constexpr uint8_t kAscqNoPaperAlt = 0x32;
constexpr uint8_t kAscqDataNotReady = 0x13;

bool IsCheckCondition(const Result& r, SenseKeyE key) {
  return r.mStatus == kScsiCheckCondition && r.mSenseKey == key;
}

}  // namespace

bool IsDataNotReady(const Result& r) {
  return r.mStatus == kScsiBusy ||
         (IsCheckCondition(r, kSenseMedium) && r.mAsc == kAscFeeder && r.mAscq == kAscqDataNotReady);
}

bool IsUnitNotReady(const Result& r) { return IsCheckCondition(r, kSenseNotReady); }

// The scanner ends a side's data with a short READ: incorrect length, the
// rest in the information field.
bool IsEndOfSide(const Result& r) { return r.mStatus == kScsiCheckCondition && r.mIli; }

bool IsNoSenseCondition(const Result& r) { return IsCheckCondition(r, kSenseNone); }

bool IsEndOfMedium(const Result& r) { return IsNoSenseCondition(r) && r.mEom; }

// The qualifier alone decides, as it does for the texts (MediumErrorText).
bool IsPaperError(const Result& r) {
  if (!IsCheckCondition(r, kSenseMedium)) return false;
  switch (r.mAscq) {
    case 0x01:  // paper jam
    case 0x02:  // cover open
    case 0x07:  // double feed
    case 0x80:  // paper feed issue
      return true;
    default:
      return false;
  }
}

bool IsHopperEmpty(const Result& r) {
  return IsFeederError(r) && (r.mAscq == kAscqNoPaper || r.mAscq == kAscqNoPaperAlt);
}

bool IsFeederError(const Result& r) { return IsCheckCondition(r, kSenseMedium) && r.mAsc == kAscFeeder; }

CommandOutcome::CommandOutcome(const Command& cmd, int code)
    : mCmd(&cmd),
      mCode(code),
      mKind(code != 0 ? kTransportFailed : cmd.mResult.mStatus != kScsiGood ? kScannerFailed : kGood) {}

const Result& CommandOutcome::GetResult() const { return mCmd->mResult; }

const char* CommandOutcome::Text() const {
  switch (mKind) {
    case kTransportFailed: return mCmd->mErrMsg;
    case kScannerFailed: return mCmd->mSenseMsg;
    default: return "";
  }
}

bool CommandOutcome::NamesCause() const {
  return mKind == kTransportFailed || (mKind == kScannerFailed && mCmd->mResult.mSenseKey != kSenseNone);
}

CommandOutcome SendCommand(Command& cmd) {
  const int code = cmd.SendToScanner();
  return CommandOutcome(cmd, code);
}

}  // namespace ZuzuvovOvav
