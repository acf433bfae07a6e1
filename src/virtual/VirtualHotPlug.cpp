// The virtual bus read from a watched file: scanners arrive and depart as the file changes.
#include "VirtualHotPlug.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <exception>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "VirtualConfig.h"
#include "VirtualDevice.h"

namespace quirel::virt {

namespace {

constexpr const char* kPrefix = "QUIREL_VIRTUAL_SCANNER: ";

enum class ReadResult { kRead, kMissing, kFailed };

// Only a regular file is read: opening a FIFO would wait for a writer and
// reading a device might never end. The open does not wait (O_NONBLOCK),
// and what it opened is checked before anything is read.
ReadResult ReadFile(const std::string& path, std::string* text, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    *error = std::string("cannot read ") + path + ": " + std::strerror(errno);
    return ReadResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = std::string("cannot read ") + path + ": it is not a regular file";
    ::close(fd);
    return ReadResult::kFailed;
  }
  text->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot read ") + path + ": " + std::strerror(errno);
      ::close(fd);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    text->append(buf, size_t(n));
    if (text->size() > (1u << 20)) {
      *error = path + " is larger than 1 MiB; it is not a list of scanner descriptions";
      ::close(fd);
      return ReadResult::kFailed;
    }
  }
  ::close(fd);
  return ReadResult::kRead;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// One description per scanner, in file order.
std::vector<std::string> Descriptions(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    if (!line.empty() && line[0] != '#') {
      size_t from = 0;
      for (;;) {
        const size_t bar = line.find('|', from);
        const std::string part = Trim(line.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
        if (!part.empty()) out.push_back(part);
        if (bar == std::string::npos) break;
        from = bar + 1;
      }
    }
    start = end + 1;
  }
  return out;
}

// The scanners of a file's text; false with *error when one is malformed.
bool ParseFile(const std::string& path, const std::string& text, std::vector<std::string>* keys,
               std::vector<ScannerConfig>* configs, std::string* error) {
  const std::vector<std::string> descriptions = Descriptions(text);
  configs->clear();
  keys->clear();
  if (descriptions.empty()) return true;
  std::string joined;
  for (const std::string& d : descriptions) joined += (joined.empty() ? "" : "|") + d;
  std::string why;
  if (!ParseDescription(joined, configs, &why)) {
    if (why.rfind(kPrefix, 0) == 0) why = why.substr(std::strlen(kPrefix));
    *error = std::string(kPrefix) + path + ": " + why;
    return false;
  }
  // A scanner is the same one as long as its description and location are.
  for (size_t i = 0; i < configs->size(); ++i)
    keys->push_back(std::to_string((*configs)[i].location) + "\n" + descriptions[i]);
  return true;
}

class WatchedVirtualBus : public usb::UsbBus {
 public:
  explicit WatchedVirtualBus(std::string path) : mPath(std::move(path)) {}

  ~WatchedVirtualBus() override {
    mStop = true;
    if (mWake >= 0) {
      const uint64_t one = 1;
      (void)!::write(mWake, &one, sizeof one);
    }
    if (mThread.joinable()) mThread.join();
    if (mInotify >= 0) ::close(mInotify);
    if (mWake >= 0) ::close(mWake);
  }

  bool Start(std::string* error) {
    std::string text;
    const ReadResult r = ReadFile(mPath, &text, error);
    if (r == ReadResult::kFailed) {
      *error = std::string(kPrefix) + *error;
      return false;
    }
    std::vector<std::string> keys;
    std::vector<ScannerConfig> configs;
    if (r == ReadResult::kRead && !ParseFile(mPath, text, &keys, &configs, error)) return false;
    mText = text;
    Apply(std::move(keys), std::move(configs), false);
    StartWatching();
    return true;
  }

  std::vector<usb::UsbDeviceDesc> Enumerate() override {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<usb::UsbDeviceDesc> out;
    for (const Entry& e : mEntries)
      for (const usb::UsbDeviceDesc& d : e.bus->Enumerate()) out.push_back(d);
    return out;
  }

  std::unique_ptr<usb::UsbDevice> FindByLocation(uint32_t location) override {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const Entry& e : mEntries)
      if (auto device = e.bus->FindByLocation(location)) return device;
    return nullptr;
  }

  bool WatchHotPlug(uint32_t vendorId, usb::HotPlugCallback callback) override {
    if (vendorId != ZuzuvovOvav::kFujitsuVendorId) return true;  // no virtual device of another vendor ever comes or goes
    std::lock_guard<std::mutex> lock(mWatchMutex);
    mWatchers.push_back(std::move(callback));
    return true;
  }

 private:
  struct Entry {
    std::string key;
    uint32_t location = 0;
    std::unique_ptr<VirtualBus> bus;
  };

  void Notify(usb::HotPlugEvent event, const usb::UsbDeviceDesc& desc) {
    std::vector<usb::HotPlugCallback> watchers;
    {
      std::lock_guard<std::mutex> lock(mWatchMutex);
      watchers = mWatchers;
    }
    for (auto& w : watchers) w(event, desc);
  }

  // Makes the scanners those of `keys`/`configs`: the ones no longer listed
  // depart, the new ones arrive, the others stay as they are.
  void Apply(std::vector<std::string> keys, std::vector<ScannerConfig> configs, bool notify) {
    std::vector<usb::UsbDeviceDesc> left, arrived;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      std::vector<Entry> next;
      for (size_t i = 0; i < keys.size(); ++i) {
        auto old = std::find_if(mEntries.begin(), mEntries.end(), [&](const Entry& e) { return e.key == keys[i]; });
        if (old != mEntries.end()) {
          next.push_back(std::move(*old));
          mEntries.erase(old);
          continue;
        }
        Entry e;
        e.key = keys[i];
        e.location = configs[i].location;
        std::vector<ScannerConfig> one;
        one.push_back(std::move(configs[i]));
        e.bus = std::make_unique<VirtualBus>(std::move(one));
        // A scanner that unplugs itself (the unplug fault) departs from
        // this bus's watchers too.
        e.bus->WatchHotPlug(ZuzuvovOvav::kFujitsuVendorId, [this](usb::HotPlugEvent ev, const usb::UsbDeviceDesc& d) { Notify(ev, d); });
        for (const usb::UsbDeviceDesc& d : e.bus->Enumerate()) arrived.push_back(d);
        next.push_back(std::move(e));
      }
      // The departed scanners leave as from a real bus: a device a program
      // still holds (a scan in progress) fails from now on.
      for (const Entry& gone : mEntries) {
        for (const usb::UsbDeviceDesc& d : gone.bus->Enumerate()) left.push_back(d);
        gone.bus->Detach();
      }
      mEntries = std::move(next);
    }
    if (!notify) return;
    for (const auto& d : left) Notify(usb::HotPlugEvent::kLeft, d);
    for (const auto& d : arrived) Notify(usb::HotPlugEvent::kArrived, d);
  }

  void Reload() {
    std::string text, error;
    const ReadResult r = ReadFile(mPath, &text, &error);
    if (r == ReadResult::kFailed) {
      std::fprintf(stderr, "%s%s; the scanners stay as they were\n", kPrefix, error.c_str());
      return;
    }
    if (r == ReadResult::kMissing) text.clear();
    if (text == mText) return;
    mText = text;
    std::vector<std::string> keys;
    std::vector<ScannerConfig> configs;
    if (!ParseFile(mPath, text, &keys, &configs, &error)) {
      std::fprintf(stderr, "%s; the scanners stay as they were\n", error.c_str());
      return;
    }
    Apply(std::move(keys), std::move(configs), true);
  }

  void StartWatching() {
    const size_t slash = mPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : mPath.substr(0, slash));
    mName = slash == std::string::npos ? mPath : mPath.substr(slash + 1);
    mInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (mInotify < 0 || mWake < 0) {
      std::fprintf(stderr, "%scannot watch %s: %s\n", kPrefix, mPath.c_str(), std::strerror(errno));
      return;
    }
    // Only a finished write, a rename and a removal count: a file being
    // written is read once it is closed, not half-way.
    if (inotify_add_watch(mInotify, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
      std::fprintf(stderr, "%scannot watch %s: %s\n", kPrefix, dir.c_str(), std::strerror(errno));
      return;
    }
    mThread = std::thread([this] { WatchLoop(); });
  }

  void WatchLoop() {
    alignas(inotify_event) char buf[sizeof(inotify_event) + NAME_MAX + 1];
    while (!mStop) {
      pollfd fds[2] = {{mInotify, POLLIN, 0}, {mWake, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (mStop) break;
      bool ours = false;
      for (;;) {
        const ssize_t n = ::read(mInotify, buf, sizeof buf);
        if (n <= 0) break;
        for (char* p = buf; p < buf + n;) {
          auto* ev = reinterpret_cast<inotify_event*>(p);
          if (ev->len > 0 && mName == ev->name) ours = true;
          p += sizeof(inotify_event) + ev->len;
        }
      }
      if (!ours) continue;
      // A reload that fails (no memory for the new scanners, a watcher
      // that throws) is reported; the scanners stay as they were and the
      // watching goes on.
      try {
        Reload();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%scannot take the change of %s: %s; the scanners stay as they were\n", kPrefix,
                     mPath.c_str(), e.what());
      } catch (...) {
        std::fprintf(stderr, "%scannot take the change of %s; the scanners stay as they were\n", kPrefix,
                     mPath.c_str());
      }
    }
  }

  const std::string mPath;
  std::string mName;
  std::string mText;  // the file as last read (watcher thread after Start)
  std::mutex mMutex;
  std::vector<Entry> mEntries;
  std::mutex mWatchMutex;
  std::vector<usb::HotPlugCallback> mWatchers;
  int mInotify = -1;
  int mWake = -1;
  std::atomic<bool> mStop{false};
  std::thread mThread;
};

}  // namespace

std::unique_ptr<usb::UsbBus> MakeWatchedVirtualBus(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = std::string(kPrefix) + "'@' must be followed by the path of a file of scanner descriptions";
    return nullptr;
  }
  auto bus = std::make_unique<WatchedVirtualBus>(path);
  if (!bus->Start(error)) return nullptr;
  return bus;
}

}  // namespace quirel::virt
