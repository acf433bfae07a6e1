// Test doubles for the libusb backend under umockdev: a fake device that
// answers the usbdevfs ioctls libusb sends (claims, URBs, clear halt), and
// builders for the sysfs descriptions umockdev takes.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quirel::testing {

// The USB side of a fake device: records what the host writes, answers reads
// from queued replies, and leaves a read pending (so the host times out) when
// nothing is queued. Called on umockdev's handler thread, hence the lock.
// Whatever may still send it ioctls (open handles) must be gone before it is:
// an ioctl without a handler blocks.
class FakeUsbDevice {
 public:
  explicit FakeUsbDevice(UMockdevTestbed* testbed, const char* devnode) {
    mHandler = umockdev_ioctl_base_new();
    g_signal_connect(mHandler, "handle-ioctl", G_CALLBACK(&FakeUsbDevice::OnIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode, mHandler, &error)) {
      ADD_FAILURE() << "attach_ioctl: " << error->message;
      g_error_free(error);
    }
  }
  ~FakeUsbDevice() {
    for (auto& urb : mPending) g_object_unref(urb.data);
    for (auto& urb : mDone) g_object_unref(urb.data);
    g_object_unref(mHandler);
  }

  void QueueReply(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mMutex);
    mReplies.push_back({std::move(bytes), 0});
  }
  // A reply whose read stops: `bytes` arrive, then nothing more.
  void QueuePartialReply(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mMutex);
    mReplies.push_back({std::move(bytes), kPartial});
  }
  void QueueStall() {
    std::lock_guard<std::mutex> lock(mMutex);
    mReplies.push_back({{}, -EPIPE});
  }
  void SetClaimBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mMutex);
    mClaimBusy = busy;
  }

  struct Written {
    uint8_t endpoint;
    std::vector<uint8_t> bytes;
  };
  std::vector<Written> Writes() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWrites;
  }
  std::vector<unsigned> ClearedHalts() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClearedHalts;
  }
  std::vector<unsigned> Claims() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mClaims;
  }
  std::vector<uint8_t> ReadEndpoints() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mReadEndpoints;
  }

 private:
  static constexpr int kPartial = 1;
  struct Reply {
    std::vector<uint8_t> bytes;
    int status;  // 0, kPartial, or a negative errno for the URB
  };
  struct Urb {
    UMockdevIoctlData* data;  // the urb struct in the host's memory
    uintptr_t address;        // its address there, as DISCARDURB names it
  };

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<FakeUsbDevice*>(self)->Handle(client);
  }

  gboolean Handle(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mMutex);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        // One URB per transfer, as on a current kernel.
        uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof caps, nullptr);
        umockdev_ioctl_data_update(out, 0, reinterpret_cast<guint8*>(&caps), sizeof caps);
        g_object_unref(out);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* num = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        unsigned value = 0;
        std::memcpy(&value, num->data, sizeof value);
        g_object_unref(num);
        if (request == USBDEVFS_CLAIMINTERFACE) {
          if (mClaimBusy) return Complete(client, -1, EBUSY);
          mClaims.push_back(value);
        }
        if (request == USBDEVFS_CLEAR_HALT) mClearedHalts.push_back(value);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_DISCONNECT_CLAIM: {
        // libusb's claim when it may detach a kernel driver first.
        UMockdevIoctlData* dc = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
        unsigned value = reinterpret_cast<usbdevfs_disconnect_claim*>(dc->data)->interface;
        g_object_unref(dc);
        if (mClaimBusy) return Complete(client, -1, EBUSY);
        mClaims.push_back(value);
        return Complete(client, 0, 0);
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        return Complete(client, -1, ENODATA);  // no kernel driver bound
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_RESET:
        return Complete(client, 0, 0);
      case USBDEVFS_SUBMITURB:
        return Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return Reap(client, arg);
      case USBDEVFS_DISCARDURB:
        return Discard(client, arg);
      default:
        return Complete(client, -1, ENOTTY);
    }
  }

  static gboolean Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  }

  static usbdevfs_urb* UrbOf(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

  gboolean Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    Urb urb{data, data->client_addr};
    usbdevfs_urb* u = UrbOf(urb.data);
    UMockdevIoctlData* buffer =
        u->buffer_length > 0
            ? umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer), size_t(u->buffer_length), nullptr)
            : nullptr;
    u->status = 0;
    u->actual_length = 0;
    bool pending = false;
    if (u->endpoint & 0x80) {
      mReadEndpoints.push_back(u->endpoint);
      if (mReplies.empty()) {
        pending = true;
      } else {
        Reply reply = std::move(mReplies.front());
        mReplies.pop_front();
        int n = std::min<int>(int(reply.bytes.size()), u->buffer_length);
        if (n > 0) umockdev_ioctl_data_update(buffer, 0, reply.bytes.data(), n);
        u->actual_length = n;
        if (reply.status < 0) u->status = reply.status;
        // A packet larger than the room left in the transfer is babble, as
        // the host controller reports it: even a zero-length read takes the
        // device's next packet, and fails.
        if (int(reply.bytes.size()) > u->buffer_length) u->status = -EOVERFLOW;
        pending = reply.status == kPartial;
      }
    } else {
      const guint8* p = buffer ? buffer->data : nullptr;
      mWrites.push_back({u->endpoint, std::vector<uint8_t>(p, p + u->buffer_length)});
      u->actual_length = u->buffer_length;
    }
    if (buffer) g_object_unref(buffer);
    if (pending)
      mPending.push_back(urb);
    else
      mDone.push_back(urb);
    return Complete(client, 0, 0);
  }

  gboolean Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (mDone.empty()) return Complete(client, -1, EAGAIN);
    Urb urb = mDone.front();
    mDone.pop_front();
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
    g_object_unref(slot);
    g_object_unref(urb.data);
    return Complete(client, 0, 0);
  }

  // The host gives up on a URB (its time-out): it comes back cancelled,
  // with whatever data it had received.
  gboolean Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    uintptr_t address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    for (auto it = mPending.begin(); it != mPending.end(); ++it) {
      if (it->address != address) continue;
      UrbOf(it->data)->status = -ENOENT;
      mDone.push_back(*it);
      mPending.erase(it);
      return Complete(client, 0, 0);
    }
    return Complete(client, -1, EINVAL);
  }

  UMockdevIoctlBase* mHandler;
  std::mutex mMutex;
  std::deque<Reply> mReplies;
  std::vector<Urb> mPending;
  std::deque<Urb> mDone;
  std::vector<Written> mWrites;
  std::vector<unsigned> mClearedHalts;
  std::vector<unsigned> mClaims;
  std::vector<uint8_t> mReadEndpoints;
  bool mClaimBusy = false;
};

// A sysfs USB device as umockdev takes it: `name` is the kernel's name
// ("3-1.4": bus 3, port 1, then port 4) below the sysfs path `parentPath`.
// libusb finds the device node through DEVNAME and the port path through the
// name and its parents.
inline std::string DescribeDevice(const std::string& parentPath, const std::string& name, int bus, int devnum,
                                  const char* vendor, const char* product, const char* speed,
                                  const std::string& descriptors) {
  char node[64];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, devnum);
  std::string s;
  s += "P: " + parentPath + "/" + name + "\n";
  s += std::string("N: ") + node + "\n";
  s += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  s += std::string("E: DEVNAME=/dev/") + node + "\n";
  s += "E: BUSNUM=" + std::to_string(bus) + "\nE: DEVNUM=" + std::to_string(devnum) + "\n";
  // Attribute values end in a newline, as sysfs writes them.
  s += "A: busnum=" + std::to_string(bus) + "\\n\nA: devnum=" + std::to_string(devnum) + "\\n\n";
  s += std::string("A: idVendor=") + vendor + "\\n\nA: idProduct=" + product + "\\n\n";
  s += std::string("A: speed=") + speed + "\\n\nA: bConfigurationValue=1\\n\n";
  s += "H: descriptors=" + descriptors + "\n\n";
  return s;
}

// Device descriptor, then one configuration (value 1) with one interface and
// the given endpoints (7-byte descriptors, hexadecimal).
inline std::string Descriptors(const char* vendorLE, const char* productLE, uint8_t deviceClass,
                               const std::vector<std::string>& endpoints) {
  char buf[64];
  std::string s = "12010002";
  std::snprintf(buf, sizeof buf, "%02X000040", deviceClass);
  s += buf;
  s += vendorLE;
  s += productLE;
  s += "0001010203" "01";
  std::snprintf(buf, sizeof buf, "0902%02X00010100C032", unsigned(18 + 7 * endpoints.size()));
  s += buf;
  std::snprintf(buf, sizeof buf, "09040000%02XFFFFFF00", unsigned(endpoints.size()));
  s += buf;
  for (const auto& ep : endpoints) s += ep;
  return s;
}

inline const char* const kPci = "/devices/pci0000:00/0000:00:14.0";
inline const std::string kBulkIn81 = "07058102000200";
inline const std::string kBulkOut02 = "07050202000200";
inline const std::string kInterruptIn83 = "07058303080004";

}  // namespace quirel::testing
