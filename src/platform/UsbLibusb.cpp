// The libusb-1.0 backend of the USB layer: real scanners on the host's buses.
//
// A bus owns one libusb context; every device and interface made from it
// keeps the context alive through a shared pointer, so a device may outlive
// the bus that found it. An opened device and its interface share one handle
// record, so that closing the device makes later pipe calls fail cleanly
// (kIOReturnNotOpen) instead of touching a closed libusb handle.
//
// Thread safety: as the layer requires, a device and its interface belong to
// one thread. Enumerate() and FindByLocation() may run on any thread (libusb
// device lists are thread-safe). Hot-plug callbacks run on the bus's event
// thread.
#include "UsbLayer.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <thread>

namespace quirel::usb {

namespace {

// libusb results in the host's layout. The engine formats its messages from
// these codes, so each libusb failure maps onto the host code of the same
// meaning:
//
//   LIBUSB_SUCCESS            -> kIOReturnSuccess          0x00000000
//   LIBUSB_ERROR_TIMEOUT      -> kIOUSBTransactionTimeout  0xE0004051
//   LIBUSB_ERROR_PIPE         -> kIOUSBPipeStalled         0xE000404F
//   LIBUSB_ERROR_BUSY         -> kIOReturnExclusiveAccess  0xE00002C5
//                                (another program or driver holds the device)
//   LIBUSB_ERROR_NO_DEVICE    -> kIOReturnNoDevice         0xE00002C0
//   LIBUSB_ERROR_ACCESS       -> kIOReturnNotPrivileged    0xE00002C1
//                                (no permission on the device node)
//   LIBUSB_ERROR_OVERFLOW     -> kIOReturnOverrun          0xE00002E8
//   anything else             -> kIOReturnError            0xE00002BC
IOReturn FromLibusb(int rc) {
  switch (rc) {
    case LIBUSB_SUCCESS:
      return kIOReturnSuccess;
    case LIBUSB_ERROR_TIMEOUT:
      return kIOUSBTransactionTimeout;
    case LIBUSB_ERROR_PIPE:
      return kIOUSBPipeStalled;
    case LIBUSB_ERROR_BUSY:
      return kIOReturnExclusiveAccess;
    case LIBUSB_ERROR_NO_DEVICE:
      return kIOReturnNoDevice;
    case LIBUSB_ERROR_ACCESS:
      return kIOReturnNotPrivileged;
    case LIBUSB_ERROR_OVERFLOW:
      return kIOReturnOverrun;
    default:
      return kIOReturnError;
  }
}

struct ConfigDescriptorFree {
  void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigDescriptorFree>;

// The configuration descriptor at `index`, or for -1 the active one's, in
// an owner that gives it back to libusb; the libusb result code.
int GetConfigDescriptor(libusb_device* dev, int index, ConfigDescriptor* out) {
  libusb_config_descriptor* config = nullptr;
  const int rc = index < 0 ? libusb_get_active_config_descriptor(dev, &config)
                           : libusb_get_config_descriptor(dev, uint8_t(index), &config);
  out->reset(rc == LIBUSB_SUCCESS ? config : nullptr);
  return rc;
}

uint32_t LocationOf(libusb_device* dev) {
  uint8_t ports[8] = {};
  int count = libusb_get_port_numbers(dev, ports, int(sizeof ports));
  if (count < 0) count = 0;
  return MakeLocationId(libusb_get_bus_number(dev), ports, count);
}

struct Context {
  libusb_context* ctx = nullptr;
  ~Context() {
    if (ctx) libusb_exit(ctx);
  }
};

// The open state of one device, shared by the device and its interface.
struct OpenHandle {
  std::shared_ptr<Context> context;
  libusb_device_handle* handle = nullptr;
  int claimed = -1;  // interface number this program holds, or -1

  IOReturn Claim(int number) {
    if (!handle) return kIOReturnNotOpen;
    if (claimed == number) return kIOReturnSuccess;
    Release();
    int rc = libusb_claim_interface(handle, number);
    if (rc != LIBUSB_SUCCESS) return FromLibusb(rc);
    claimed = number;
    return kIOReturnSuccess;
  }
  void Release() {
    if (handle && claimed >= 0) libusb_release_interface(handle, claimed);
    claimed = -1;
  }
  void Close() {
    Release();
    if (handle) libusb_close(handle);
    handle = nullptr;
  }
  ~OpenHandle() { Close(); }
};

class LibusbInterface : public UsbInterface {
 public:
  LibusbInterface(std::shared_ptr<OpenHandle> open, int number, uint8_t inEndpoint, uint8_t outEndpoint)
      : mOpen(std::move(open)), mNumber(number), mIn(inEndpoint), mOut(outEndpoint) {}
  ~LibusbInterface() override { Close(); }

  IOReturn Open() override {
    IOReturn rc = mOpen->Claim(mNumber);
    mIsOpen = rc == kIOReturnSuccess;
    return rc;
  }

  IOReturn Close() override {
    if (!mIsOpen) return kIOReturnNotOpen;
    mIsOpen = false;
    if (mOpen->claimed == mNumber) mOpen->Release();
    return kIOReturnSuccess;
  }

  IOReturn WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeoutMs,
                     uint32_t completionTimeoutMs) override {
    int transferred = 0;
    return Transfer(pipeRef, kPipeOut, const_cast<void*>(buf), size, &transferred,
                    std::max(noDataTimeoutMs, completionTimeoutMs));
  }

  IOReturn ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeoutMs,
                    uint32_t completionTimeoutMs) override {
    if (!size) return kIOReturnBadArgument;
    if (*size == 0) {
      // Nothing asked, nothing read, and the pipe is left alone: on Linux a
      // zero-length bulk IN transfer waits for the scanner's next packet (the
      // status block of the command) and ends in an overflow or a time-out.
      const uint8_t endpoint = Endpoint(pipeRef);
      if (!endpoint || pipeRef != kPipeIn) return kIOReturnBadArgument;
      return mIsOpen && mOpen->handle ? kIOReturnSuccess : kIOReturnNotOpen;
    }
    int transferred = 0;
    IOReturn rc = Transfer(pipeRef, kPipeIn, buf, *size, &transferred, std::max(noDataTimeoutMs, completionTimeoutMs));
    // What arrived before a failure is reported too: the caller may keep it.
    *size = uint32_t(transferred);
    return rc;
  }

  IOReturn ClearPipeStallBothEnds(int pipeRef) override {
    uint8_t endpoint = Endpoint(pipeRef);
    if (!endpoint) return kIOReturnBadArgument;
    if (!mIsOpen || !mOpen->handle) return kIOReturnNotOpen;
    return FromLibusb(libusb_clear_halt(mOpen->handle, endpoint));
  }

 private:
  uint8_t Endpoint(int pipeRef) const {
    if (pipeRef == kPipeIn) return mIn;
    if (pipeRef == kPipeOut) return mOut;
    return 0;
  }

  // libusb has one time-out per transfer; the caller's larger one (the
  // completion time-out) bounds the whole transfer.
  IOReturn Transfer(int pipeRef, int expectedRef, void* buf, uint32_t size, int* transferred, uint32_t timeoutMs) {
    uint8_t endpoint = Endpoint(pipeRef);
    if (!endpoint || pipeRef != expectedRef) return kIOReturnBadArgument;
    if (size > uint32_t(INT_MAX) || (!buf && size)) return kIOReturnBadArgument;
    if (!mIsOpen || !mOpen->handle) return kIOReturnNotOpen;
    return FromLibusb(libusb_bulk_transfer(mOpen->handle, endpoint, static_cast<unsigned char*>(buf), int(size),
                                           transferred, timeoutMs));
  }

  std::shared_ptr<OpenHandle> mOpen;
  int mNumber;
  uint8_t mIn;
  uint8_t mOut;
  bool mIsOpen = false;
};

class LibusbDevice : public UsbDevice {
 public:
  LibusbDevice(std::shared_ptr<Context> context, libusb_device* dev, const libusb_device_descriptor& desc)
      : mContext(std::move(context)),
        mDev(libusb_ref_device(dev)),
        mVendor(desc.idVendor),
        mProduct(desc.idProduct),
        mLocation(LocationOf(dev)) {}
  ~LibusbDevice() override {
    if (mOpen) mOpen->Close();
    libusb_unref_device(mDev);
  }

  uint32_t VendorId() const override { return mVendor; }
  uint32_t ProductId() const override { return mProduct; }

  // Opening also claims the first interface of the active configuration:
  // on Linux, usbfs lets several programs open a device, and only a claim
  // tells whether another program (or a kernel driver we may not detach)
  // is using it. A bound kernel driver is detached on claim.
  IOReturn Open() override {
    if (IsOpen()) return kIOReturnSuccess;
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(mDev, &handle);
    if (rc != LIBUSB_SUCCESS) return FromLibusb(rc);
    libusb_set_auto_detach_kernel_driver(handle, 1);  // not supported on every platform; harmless then
    auto open = std::make_shared<OpenHandle>();
    open->context = mContext;
    open->handle = handle;
    int first = FirstInterfaceNumber();
    if (first >= 0) {
      IOReturn claim = open->Claim(first);
      if (claim != kIOReturnSuccess) return claim;  // `open` closes the handle, so a retry starts afresh
    }
    mOpen = std::move(open);
    return kIOReturnSuccess;
  }

  IOReturn Close() override {
    if (!IsOpen()) return kIOReturnNotOpen;
    mOpen->Close();
    mOpen.reset();
    return kIOReturnSuccess;
  }

  IOReturn Reset() override {
    if (!IsOpen()) return kIOReturnNotOpen;
    // libusb claims the held interface again after the reset.
    return FromLibusb(libusb_reset_device(mOpen->handle));
  }

  IOReturn GetLocationId(uint32_t* location) override {
    if (!location) return kIOReturnBadArgument;
    *location = mLocation;
    return kIOReturnSuccess;
  }

  IOReturn GetConfigurationValue(uint8_t index, uint8_t* value) override {
    if (!value) return kIOReturnBadArgument;
    ConfigDescriptor config;
    int rc = GetConfigDescriptor(mDev, index, &config);
    if (rc != LIBUSB_SUCCESS) return FromLibusb(rc);
    *value = config->bConfigurationValue;
    return kIOReturnSuccess;
  }

  IOReturn SetConfiguration(uint8_t value) override {
    if (!IsOpen()) return kIOReturnNotOpen;
    // Setting the active configuration again would only reset the device
    // lightly and fails while an interface is claimed, so it is skipped.
    int current = -1;
    if (libusb_get_configuration(mOpen->handle, &current) == LIBUSB_SUCCESS && current == value)
      return kIOReturnSuccess;
    mOpen->Release();
    int rc = libusb_set_configuration(mOpen->handle, value);
    if (rc != LIBUSB_SUCCESS) return FromLibusb(rc);
    int first = FirstInterfaceNumber();
    return first >= 0 ? mOpen->Claim(first) : kIOReturnSuccess;
  }

  IOReturn GetFirstInterface(std::unique_ptr<UsbInterface>* iface) override {
    if (!iface) return kIOReturnBadArgument;
    iface->reset();
    if (!IsOpen()) return kIOReturnNotOpen;
    ConfigDescriptor config;
    int rc = GetConfigDescriptor(mDev, -1, &config);
    if (rc == LIBUSB_ERROR_NOT_FOUND) return kIOReturnSuccess;  // unconfigured: no interface
    if (rc != LIBUSB_SUCCESS) return FromLibusb(rc);
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
      const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
      uint8_t in = 0, out = 0;
      for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[i];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        uint8_t& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN ? in : out;
        if (!slot) slot = ep.bEndpointAddress;
      }
      *iface = std::make_unique<LibusbInterface>(mOpen, alt.bInterfaceNumber, in, out);
    }
    return kIOReturnSuccess;
  }

  IOReturn GetDeviceSpeed(int* speed) override {
    if (!speed) return kIOReturnBadArgument;
    switch (libusb_get_device_speed(mDev)) {
      case LIBUSB_SPEED_LOW:
        *speed = kUsbSpeedLow;
        return kIOReturnSuccess;
      case LIBUSB_SPEED_FULL:
        *speed = kUsbSpeedFull;
        return kIOReturnSuccess;
      case LIBUSB_SPEED_HIGH:
        *speed = kUsbSpeedHigh;
        return kIOReturnSuccess;
      case LIBUSB_SPEED_UNKNOWN:
        // Callers that ignore the code must not take SuperSpeed choices on a
        // guess; these scanners are USB 2 devices unless told otherwise.
        *speed = kUsbSpeedHigh;
        return kIOReturnUnsupported;
      default:  // super and anything faster
        *speed = kUsbSpeedSuper;
        return kIOReturnSuccess;
    }
  }

 private:
  bool IsOpen() const { return mOpen && mOpen->handle; }

  // bInterfaceNumber of the first interface of the active configuration, or
  // -1 when the device is unconfigured or has no interface.
  int FirstInterfaceNumber() {
    ConfigDescriptor config;
    if (GetConfigDescriptor(mDev, -1, &config) != LIBUSB_SUCCESS) return -1;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0)
      return config->interface[0].altsetting[0].bInterfaceNumber;
    return -1;
  }

  std::shared_ptr<Context> mContext;
  libusb_device* mDev;
  uint32_t mVendor;
  uint32_t mProduct;
  uint32_t mLocation;
  std::shared_ptr<OpenHandle> mOpen;
};

class LibusbBus : public UsbBus {
 public:
  explicit LibusbBus(std::shared_ptr<Context> context) : mContext(std::move(context)) {}

  ~LibusbBus() override {
    std::vector<std::unique_ptr<Watch>> watches;
    {
      std::lock_guard<std::mutex> lock(mWatchMutex);
      watches.swap(mWatches);
    }
    // The event thread stops first: a callback still running there must not
    // see its watch freed.
    mStop = true;
    libusb_interrupt_event_handler(mContext->ctx);
    if (mEventThread.joinable()) mEventThread.join();
    for (auto& watch : watches) libusb_hotplug_deregister_callback(mContext->ctx, watch->handle);
  }

  std::vector<UsbDeviceDesc> Enumerate() override {
    std::vector<UsbDeviceDesc> out;
    ForEachDevice([&](libusb_device* dev, const libusb_device_descriptor& desc) {
      out.push_back(UsbDeviceDesc{desc.idVendor, desc.idProduct, LocationOf(dev)});
      return false;
    });
    return out;
  }

  std::unique_ptr<UsbDevice> FindByLocation(uint32_t location) override {
    std::unique_ptr<UsbDevice> found;
    ForEachDevice([&](libusb_device* dev, const libusb_device_descriptor& desc) {
      if (LocationOf(dev) != location) return false;
      found = std::make_unique<LibusbDevice>(mContext, dev, desc);
      return true;
    });
    return found;
  }

  // Notifications start with the call: devices already attached are not
  // reported (Enumerate() lists them).
  bool WatchHotPlug(uint32_t vendorId, HotPlugCallback callback) override {
    if (!callback || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return false;
    auto watch = std::make_unique<Watch>();
    watch->callback = std::move(callback);
    std::lock_guard<std::mutex> lock(mWatchMutex);
    int vendor = vendorId > 0xFFFF ? LIBUSB_HOTPLUG_MATCH_ANY : int(vendorId);
    int rc = libusb_hotplug_register_callback(
        mContext->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, vendor,
        LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &LibusbBus::OnHotPlug, watch.get(), &watch->handle);
    if (rc != LIBUSB_SUCCESS) return false;
    mWatches.push_back(std::move(watch));
    if (!mEventThread.joinable()) mEventThread = std::thread([this] { RunEvents(); });
    return true;
  }

 private:
  struct Watch {
    HotPlugCallback callback;
    libusb_hotplug_callback_handle handle = 0;
  };

  template <typename Fn>
  void ForEachDevice(Fn fn) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(mContext->ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor desc{};
      if (libusb_get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS) continue;
      if (fn(list[i], desc)) break;
    }
    if (count >= 0) libusb_free_device_list(list, 1);
  }

  void RunEvents() {
    while (!mStop) {
      timeval tv{0, 200000};  // bounds the wait for the stop flag should a wake-up be missed
      libusb_handle_events_timeout_completed(mContext->ctx, &tv, nullptr);
    }
  }

  static int LIBUSB_CALL OnHotPlug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
    auto* watch = static_cast<Watch*>(user);
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(dev, &desc);
    UsbDeviceDesc d{desc.idVendor, desc.idProduct, LocationOf(dev)};
    try {
      watch->callback(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? HotPlugEvent::kArrived : HotPlugEvent::kLeft, d);
    } catch (...) {
      // An exception must not unwind through libusb's C frames; the watch stays.
    }
    return 0;
  }

  std::shared_ptr<Context> mContext;
  std::mutex mWatchMutex;
  std::vector<std::unique_ptr<Watch>> mWatches;
  std::atomic<bool> mStop{false};
  std::thread mEventThread;
};

}  // namespace

std::unique_ptr<UsbBus> MakeLibusbBus(std::string* error) {
  auto context = std::make_shared<Context>();
  int rc = libusb_init(&context->ctx);
  if (rc != LIBUSB_SUCCESS) {
    context->ctx = nullptr;
    if (error) *error = std::string("cannot start libusb: ") + libusb_strerror(rc);
    return nullptr;
  }
  return std::make_unique<LibusbBus>(std::move(context));
}

// Six nibbles below the bus byte hold six tiers of hubs; a deeper port path
// keeps its first six ports. Ports above 15 do not fit a nibble and are cut
// to their low four bits, as the host's own ids do.
uint32_t MakeLocationId(uint8_t busNumber, const uint8_t* ports, int portCount) {
  uint32_t id = uint32_t(busNumber) << 24;
  for (int i = 0; ports && i < portCount && i < 6; ++i) id |= uint32_t(ports[i] & 0xF) << (20 - 4 * i);
  return id;
}

}  // namespace quirel::usb
