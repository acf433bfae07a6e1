// The USB monitor over a scripted bus: scanners attached at start reported
// before create() returns, hot-plug notifications from the backend's thread
// delivered on the GUI thread, other vendors and unknown departures ignored,
// set-up failures, and a monitor that goes while the bus still notifies.
#include <QTest>
#include <QThread>
#include <mutex>
#include <thread>

#include "FrontendLog.h"
#include "GuiTestMain.h"
#include "Quirel_UsbMonitor.h"

using quirel::usb::HotPlugCallback;
using quirel::usb::HotPlugEvent;
using quirel::usb::UsbDeviceDesc;

namespace {

class ScriptedBus : public quirel::usb::UsbBus {
 public:
  bool hotPlugWorks = true;
  // A backend that notifies about every vendor, whatever it was asked.
  bool filtersVendor = true;

  std::vector<UsbDeviceDesc> Enumerate() override {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDevices;
  }
  std::unique_ptr<quirel::usb::UsbDevice> FindByLocation(uint32_t) override { return nullptr; }
  bool WatchHotPlug(uint32_t vendorId, HotPlugCallback callback) override {
    if (!hotPlugWorks) return false;
    std::lock_guard<std::mutex> lock(mMutex);
    mWatches.push_back({vendorId, std::move(callback)});
    return true;
  }

  void attachQuietly(UsbDeviceDesc desc) {
    std::lock_guard<std::mutex> lock(mMutex);
    mDevices.push_back(desc);
  }
  // Plugs or unplugs a device and notifies from a thread of the bus, as
  // libusb does.
  void plug(UsbDeviceDesc desc) {
    attachQuietly(desc);
    notify(HotPlugEvent::kArrived, desc);
  }
  void unplug(UsbDeviceDesc desc) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      std::erase_if(mDevices, [&](const UsbDeviceDesc& d) { return d.locationId == desc.locationId; });
    }
    notify(HotPlugEvent::kLeft, desc);
  }

 private:
  void notify(HotPlugEvent event, UsbDeviceDesc desc) {
    std::thread([this, event, desc] {
      std::lock_guard<std::mutex> lock(mMutex);
      for (auto& [vendor, callback] : mWatches)
        if (!filtersVendor || vendor == desc.vendorId) callback(event, desc);
    }).join();
  }

  std::mutex mMutex;
  std::vector<UsbDeviceDesc> mDevices;
  std::vector<std::pair<uint32_t, HotPlugCallback>> mWatches;
};

struct Report {
  bool arrived;
  uint32_t location;
  uint16_t product;
  bool onGuiThread;
  bool operator==(const Report& o) const {
    return arrived == o.arrived && location == o.location && product == o.product && onGuiThread == o.onGuiThread;
  }
};

const UsbDeviceDesc kFi7160{0x04C5, 0x132E, 0x14100000};
const UsbDeviceDesc kFi6230{0x04C5, 0x1100, 0x14200000};
const UsbDeviceDesc kMouse{0x046D, 0xC077, 0x14300000};
const UsbDeviceDesc kNoProduct{0x04C5, 0x0000, 0x14400000};
const UsbDeviceDesc kNoLocation{0x04C5, 0x132E, 0x00000000};

}  // namespace

Q_DECLARE_METATYPE(UsbDeviceDesc)

class UsbMonitorTest : public QObject {
  Q_OBJECT

  std::unique_ptr<ScriptedBus> bus;
  std::vector<Report> reports;
  std::vector<std::string> log;

  Quirel_UsbMonitor::Action recorder() {
    return [this](bool arrived, uint32_t location, uint16_t product) {
      reports.push_back({arrived, location, product, QThread::currentThread() == qApp->thread()});
    };
  }

 private slots:
  void init() {
    bus = std::make_unique<ScriptedBus>();
    quirel::usb::SetBusForTesting(bus.get());
    reports.clear();
    log.clear();
    quirel::frontend::SetLogSink([this](const std::string& line) { log.push_back(line); });
  }
  void cleanup() {
    quirel::frontend::SetLogSink(nullptr);
    quirel::usb::SetBusForTesting(nullptr);
    bus.reset();
  }

  void scannersAttachedAtStartAreReportedDuringCreate() {
    for (const auto& d : {kFi7160, kMouse, kNoProduct, kNoLocation, kFi6230}) bus->attachQuietly(d);
    auto monitor = Quirel_UsbMonitor::create(recorder());
    QVERIFY(monitor);
    // Reported before create() returned, in the bus's order; the other
    // vendor's device and the ones with a zero id are not.
    const std::vector<Report> want{{true, 0x14100000, 0x132E, true}, {true, 0x14200000, 0x1100, true}};
    QCOMPARE(reports, want);
    const std::vector<std::string> wantLog{"usb monitor init'd", "matched device 0x132e at 0x14100000",
                                           "matched device 0x1100 at 0x14200000"};
    QCOMPARE(log, wantLog);
    monitor.reset();
    QCOMPARE(log.back(), std::string("usb monitor dealloc'd"));
  }

  void hotPlugIsDeliveredOnTheGuiThread_data() {
    QTest::addColumn<bool>("attachedAtStart");
    QTest::addColumn<bool>("arrives");
    QTest::addColumn<UsbDeviceDesc>("device");
    QTest::addColumn<int>("reportsAfter");
    QTest::newRow("scanner plugged in") << false << true << kFi7160 << 1;
    QTest::newRow("scanner unplugged") << true << false << kFi7160 << 2;
    QTest::newRow("second scanner plugged in later") << true << true << kFi6230 << 2;
    QTest::newRow("scanner listed at start plugged again") << true << true << kFi7160 << 1;
    QTest::newRow("unknown device leaves") << true << false << kFi6230 << 1;
  }

  void hotPlugIsDeliveredOnTheGuiThread() {
    QFETCH(bool, attachedAtStart);
    QFETCH(bool, arrives);
    QFETCH(UsbDeviceDesc, device);
    QFETCH(int, reportsAfter);
    if (attachedAtStart) bus->attachQuietly(kFi7160);
    auto monitor = Quirel_UsbMonitor::create(recorder());
    QVERIFY(monitor);
    if (arrives)
      bus->plug(device);
    else
      bus->unplug(device);
    QTest::qWait(50);
    QCOMPARE(int(reports.size()), reportsAfter);
    if (reportsAfter > int(attachedAtStart)) {
      const Report want{arrives, device.locationId, uint16_t(arrives ? device.productId : 0), true};
      QCOMPARE(reports.back(), want);
      const std::string line = arrives ? "matched device 0x" + QString::number(device.productId, 16).toStdString() +
                                             " at 0x" + QString::number(device.locationId, 16).toStdString()
                                       : "device detached 0x" + QString::number(device.locationId, 16).toStdString();
      QCOMPARE(log.back(), line);
    }
  }

  void otherVendorOnTheBusIsNotReported() {
    auto monitor = Quirel_UsbMonitor::create(recorder());
    QVERIFY(monitor);
    bus->filtersVendor = false;
    bus->plug(kMouse);
    QTest::qWait(20);
    QVERIFY(reports.empty());
  }

  void backendWithoutHotPlugFailsTheSetUp() {
    bus->hotPlugWorks = false;
    bus->attachQuietly(kFi7160);
    auto monitor = Quirel_UsbMonitor::create(recorder());
    QVERIFY(!monitor);
    QVERIFY(reports.empty());
    QCOMPARE(log.front(), std::string("err (0x38 0x000 0x02c7) adding match notification request"));
  }

  void notificationAfterTheMonitorWentIsDropped() {
    auto monitor = Quirel_UsbMonitor::create(recorder());
    QVERIFY(monitor);
    monitor.reset();
    bus->plug(kFi7160);
    QTest::qWait(20);
    QVERIFY(reports.empty());
  }

  void decodeErrSplitsTheCode_data() {
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("transaction time-out") << 0xE0004051u << "0x38 0x001 0x0051";
    QTest::newRow("exclusive access") << 0xE00002C5u << "0x38 0x000 0x02c5";
    QTest::newRow("all bits") << 0xFFFFFFFFu << "0x3f 0xfff 0x3fff";
  }
  void decodeErrSplitsTheCode() {
    QFETCH(uint, code);
    QFETCH(QString, text);
    QCOMPARE(QString(Quirel_UsbMonitor::DecodeErr(code)), text);
  }
};

QUIREL_GUI_TEST(UsbMonitorTest)
#include "UsbMonitorTest.moc"
