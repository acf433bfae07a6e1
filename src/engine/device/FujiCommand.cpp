// The command transport (Command::SendToScanner) with its trace lines.
//
// Command block, data phases, status block and the automatic REQUEST SENSE
// after a check condition.
#include "FujiCmds.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <locale>
#include <string>

#include "HostClock.h"
#include "UsbLayer.h"

namespace ZuzuvovOvav {

namespace {

using quirel::usb::IOReturn;

constexpr uint32_t kNoDataTimeoutMs = 29000;
constexpr uint32_t kCompletionTimeoutMs = 30000;
// A transaction time-out that arrives sooner than the no-data time-out is
// not real: the host reports it spuriously, and the read is retried.
constexpr long long kBogusTimeoutLimitMicros = 28999999;
constexpr uint64_t kBogusTimeoutPauseMicros = 100000;
constexpr uint64_t kZeroPacketPauseMicros = 10;
constexpr uint8_t kOpRequestSense = 0x03;

long long NowMicros() { return (long long)quirel::host::MonotonicMicros(); }

// Trace time stamp: milliseconds modulo 100000 and the microseconds.
std::string Stamp() {
  unsigned long long now = (unsigned long long)NowMicros();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%05llu.%03llu", (now / 1000) % 100000, now % 1000);
  return buf;
}

}  // namespace

void Result::Clear() {
  mStatus = 0;
  mValid = false;
  mErrorCode = 0;
  mFilemark = false;
  mEom = false;
  mIli = false;
  mSenseKey = 0;
  mInfo = 0;
  mAsc = 0;
  mAscq = 0;
  mXferCount = 0;
}

int BuildErrMsg(char* out, size_t size, const char* cmdName, int code, const char* phaseText) {
  uint32_t c = uint32_t(code);
  return std::snprintf(out, size, "Command %s: error (0x%x: 0x%x, 0x%x, 0x%x) %s.", cmdName, c, c >> 26,
                       (c >> 14) & 0xFFF, c & 0x3FFF, phaseText);
}

Command::Command(Device& device, uint8_t opcode) : mCdb(mCmdBlock + 19), mDevice(device) {
  std::memset(mCmdBlock, 0, sizeof mCmdBlock);
  mCmdBlock[0] = 0x43;
  mCdb[0] = opcode;
  mErrMsg[0] = 0;
  mSenseMsg[0] = 0;
  // Trace numbers read the same whatever locale the program runs in.
  mReqDesc.imbue(std::locale::classic());
  mReplyDesc.imbue(std::locale::classic());
}

Command::~Command() = default;

void Command::BuildSenseMsg() {
  std::snprintf(mSenseMsg, sizeof mSenseMsg, "%s (%s %02x:%02x:%02x)", GetSenseStr(), GetCommandName(),
                unsigned(mResult.mSenseKey), unsigned(mResult.mAsc), unsigned(mResult.mAscq));
}

void Command::SetSenseMsg(const char* text) {
  std::snprintf(mSenseMsg, sizeof mSenseMsg, "%s", text);
}

int Command::Fail(int code, const char* phaseText) {
  BuildErrMsg(mErrMsg, sizeof mErrMsg, GetCommandName(), code, phaseText);
  if (gVerbose) {
    uint32_t c = uint32_t(code);
    std::clog << Stamp() << " -- " << GetCommandName() << " <- error (" << std::hex << c << ", " << (c >> 26)
              << ", " << ((c >> 14) & 0xFFF) << ", " << (c & 0x3FFF) << ") " << std::dec << phaseText << '\n';
  }
  return code;
}

// The data-in phase. A model with read check keeps reading after a short
// read; follow-up requests are whole multiples of 512 bytes, so a request
// may become 0, and the empty read that follows ends the phase.
int Command::ReadDataIn(uint32_t delay, uint32_t* total) {
  quirel::usb::UsbInterface* iface = mDevice.GetInterface();
  uint8_t* buf = GetRcvBytes();
  const bool readCheck = mDevice.ImplementsReadCheck();
  uint32_t wanted = uint32_t(GetRcvBytesLen());
  uint32_t request = wanted;
  uint32_t got_total = 0;

  for (;;) {
    if (delay > 0) quirel::host::SleepMicros(delay);
    if (gVerbose) std::clog << Stamp() << " -- " << GetCommandName() << "    requesting bytes: " << request << '\n';

    const long long start = NowMicros();
    uint32_t got = 0;
    bool completedByTimeout = false;
    IOReturn rc;
    for (;;) {
      got = request;
      rc = iface->ReadPipe(quirel::usb::kPipeIn, buf + got_total, &got, kNoDataTimeoutMs, kCompletionTimeoutMs);
      const long long elapsed = NowMicros() - start;
      if (rc != quirel::usb::kIOUSBTransactionTimeout || elapsed > kBogusTimeoutLimitMicros) break;
      if (gVerbose) std::clog << Stamp() << " -- bogus timeout (" << elapsed / 1000 << ")";
      // Bytes that arrived before the time-out are kept: reading again into
      // the same place would overwrite them with the data that follows.
      if (got > 0) {
        got_total += got;
        wanted -= got;
        request -= got;
        if (wanted == 0) {
          completedByTimeout = true;
          break;
        }
      }
      iface->ClearPipeStallBothEnds(quirel::usb::kPipeIn);
      quirel::host::SleepMicros(kBogusTimeoutPauseMicros);
    }
    if (completedByTimeout) break;  // the time-out carried the last bytes

    const uint32_t wantedBefore = wanted;
    got_total += got;
    wanted -= got;
    request = (request - got) & ~uint32_t(511);

    if (got == 0) {
      if (gVerbose) std::clog << Stamp() << " -- " << GetCommandName() << "    0-length packet received\n";
      quirel::host::SleepMicros(kZeroPacketPauseMicros);
    } else if (rc == 0 && gVerbose) {
      std::clog << Stamp() << " -- " << GetCommandName() << "    received bytes: " << got << '\n';
    }

    if (rc != 0) {
      *total = got_total;
      return Fail(int(rc), "reading data from scanner");
    }
    if (got == wantedBefore) break;
    if (!(readCheck && got != 0)) break;  // a short or empty read is accepted
  }
  if (gVerbose) std::clog << Stamp() << " -- " << GetCommandName() << "    received bytes total: " << got_total << '\n';
  *total = got_total;
  return 0;
}

int Command::SendToScanner() {
  mResult.Clear();
  mErrMsg[0] = 0;
  mSenseMsg[0] = 0;
  PrepareToSendSelf();

  const uint32_t delay = mDevice.UsbDelay();
  if (gVerbose) {
    std::clog << "inter/intra-cmd delays: " << delay << "/" << delay << '\n';
    std::clog << Stamp() << " -- " << GetCommandName() << " -> " << mReqDesc.str() << '\n';
  }

  quirel::usb::UsbInterface* iface = mDevice.GetInterface();
  if (iface == nullptr) return Fail(int(quirel::usb::kIOReturnNotOpen), "sending command to scanner");
  // A reply with nowhere to go would be lost, and the scanner left waiting
  // to send it: the command is not sent at all.
  if (ReceivesData() && GetRcvBytes() == nullptr)
    return Fail(int(quirel::usb::kIOReturnNoMemory), "not enough memory for data from scanner");

  // Pacing: the scanner needs `delay` microseconds after the previous
  // command's status phase before it takes the next command.
  const long long elapsed = NowMicros() - mDevice.GetLastCmdTime();
  if (elapsed < (long long)delay) {
    if (gVerbose) std::clog << "sleeping to ensure inter-command timing: " << elapsed << '\n';
    quirel::host::SleepMicros(uint64_t((long long)delay - elapsed));
  }

  IOReturn rc = iface->WritePipe(quirel::usb::kPipeOut, mCmdBlock, kCmdBlockLen, kNoDataTimeoutMs, kCompletionTimeoutMs);
  if (rc != 0) return Fail(int(rc), "sending command to scanner");

  if (SendsData()) {
    if (delay > 0) quirel::host::SleepMicros(delay);
    const int len = GetSendBytesLen();
    const uint8_t* bytes = GetSendBytes();
    if (gVerbose) std::clog << Stamp() << " -- " << GetCommandName() << "    sending bytes: " << len << '\n';
    rc = iface->WritePipe(quirel::usb::kPipeOut, bytes, uint32_t(len), kNoDataTimeoutMs, kCompletionTimeoutMs);
    if (rc != 0) return Fail(int(rc), "sending data to scanner");
    if (gVerbose) std::clog << Stamp() << " -- " << GetCommandName() << "    bytes sent\n";
  }

  uint32_t received = 0;
  if (ReceivesData()) {
    const int code = ReadDataIn(delay, &received);
    if (code != 0) return code;
  }

  if (delay > 0) quirel::host::SleepMicros(delay);
  uint8_t status[kStatusBlockLen] = {};
  uint32_t count = kStatusBlockLen;
  rc = iface->ReadPipe(quirel::usb::kPipeIn, status, &count, kNoDataTimeoutMs, kCompletionTimeoutMs);
  mDevice.SetLastCmdTime(NowMicros());
  if (rc != 0) return Fail(int(rc), "reading status from scanner");
  if (count != kStatusBlockLen) {
    std::snprintf(mErrMsg, sizeof mErrMsg, "Incorrect number of status bytes read: %d", int(count));
    if (gVerbose) std::clog << Stamp() << " -- " << mErrMsg << '\n';
    return int(quirel::usb::kIOUSBIncorrectStatusLength);
  }

  const uint8_t code = (status[9] >> 1) & 0x1F;
  if (code == 0) {
    // Parsers may look at the count of what arrived.
    mResult.mXferCount = received;
    ProcessReturnSelf();
  }
  if (gVerbose) {
    char bytes[32];
    std::snprintf(bytes, sizeof bytes, "0x%02x 0x%02x 0x%02x 0x%02x", status[9], status[10], status[11], status[12]);
    std::clog << Stamp() << " -- " << GetCommandName() << " <- " << unsigned(code) << " (" << bytes << ") "
              << mReplyDesc.str() << '\n';
  }
  mResult.mStatus = code;
  if (code == 0 || code == 4) {
    mResult.mXferCount = received;
    return 0;
  }

  // A REQUEST SENSE that itself ends in a check condition does not ask for
  // sense again: the scanner could otherwise keep us recursing.
  if (mCdb[0] == kOpRequestSense) return 0;

  Cmd_RequestSense sense(mDevice);
  const int senseCode = sense.SendToScanner();
  if (senseCode != 0) {
    BuildErrMsg(mErrMsg, sizeof mErrMsg, GetCommandName(), senseCode, "getting sense data from scanner");
    return senseCode;
  }
  mResult = sense.mResult;
  mResult.mStatus = code;
  BuildSenseMsg();
  mResult.mXferCount = received;
  return 0;
}

Cmd_ReceivesDataShared::Cmd_ReceivesDataShared(Device& device, uint8_t opcode, int size)
    : Command(device, opcode), mRcvBytes(static_cast<uint8_t*>(std::malloc(size_t(size > 0 ? size : 1)))),
      mRcvLen(size > 0 ? size : 0) {}

Cmd_ReceivesDataShared::~Cmd_ReceivesDataShared() {
  if (!mAdopted) std::free(mRcvBytes);
}

uint8_t* Cmd_ReceivesDataShared::AdoptRcvBytes() {
  mAdopted = true;
  return mRcvBytes;
}

int Status::Read() {
  std::memset(mBytes, 0, sizeof mBytes);
  mCount = kStatusBlockLen;
  quirel::usb::UsbInterface* iface = mDevice.GetInterface();
  if (iface == nullptr) {
    mCount = 0;
    return int(quirel::usb::kIOReturnNotOpen);
  }
  return int(iface->ReadPipe(quirel::usb::kPipeIn, mBytes, &mCount, kNoDataTimeoutMs, kCompletionTimeoutMs));
}

const char* Status::Text() {
  std::snprintf(mText, sizeof mText, "0x%02x 0x%02x 0x%02x 0x%02x", mBytes[9], mBytes[10], mBytes[11], mBytes[12]);
  return mText;
}

}  // namespace ZuzuvovOvav
