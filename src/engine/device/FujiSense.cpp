// Texts for the sense data the scanner returns after a check condition. The
// texts reach the user as the scan job's error text.
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
    case 0x0: return "No sense data";
    case 0x2: return "Not ready";
    case 0x3: return MediumErrorText(ascq);
    case 0x4: return HardwareErrorText(ascq);
    case 0x5: return IllegalRequestText(asc, ascq);
    case 0x6: return UnitAttentionText(asc);
    case 0xB: return AbortedCommandText(asc, ascq);
    default: return "Unknown sense code";
  }
}

// The lamp readiness check answers "not ready" while the lamp warms up.
const char* Cmd_ScannerControl::GetSenseStr() const {
  if (mCdb[1] == kLampReadyCheck && mResult.mStatus == 1 && mResult.mSenseKey == 0x2) return "Lamp still warming up";
  return Command::GetSenseStr();
}

}  // namespace ZuzuvovOvav
