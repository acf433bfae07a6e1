// PrefsStore: the shared preference file, read and migrated on every access and replaced whole on every write.
#include "PrefsStore.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <plist/plist.h>
#include <string_view>
#include <vector>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendLog.h"
#include "PrefsStoreTesting.h"

namespace quirel::frontend {

const char* const kPrefsFileName = "com.brannoch.quirel.shared.plist";
const char* const kOlderPrefsFileNames[3] = {"com.brannoch.quirel.plist", "com.brannoch.quirel-he.plist",
                                             "com.quennick.quirel.plist"};
const char* const kScanSettingsKey = "Quirel Default Settings";
const char* const kOlderScanSettingsKey = "Default Settings";
const char* const kMigrationKey = "migration";

void (*gPrefsBeforeReplaceHook)() = nullptr;

namespace {

// Nesting beyond this is no settings file; it would only exhaust the stack.
constexpr int kMaxDepth = 64;
// A binary list may name one object many times; the library copies it at
// each use, so a few hundred bytes could stand for billions of values. A
// preference file holds a few hundred.
constexpr uint64_t kMaxBinaryNodes = 1 << 16;

// The library reads and writes numbers with the C library's conversions,
// which follow the thread's numeric locale: under a comma-decimal locale
// "215.9" would read as 215. Each conversion runs under the C locale on the
// calling thread only, whatever the process's locale is.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    if (c) mOld = uselocale(c);
  }
  ~CLocaleScope() {
    if (mOld) uselocale(mOld);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t mOld = nullptr;
};

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
const QDateTime& PlistEpoch() {
  static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
  return epoch;
}

struct PlistHolder {
  plist_t node = nullptr;
  ~PlistHolder() {
    if (node) plist_free(node);
  }
};

bool ToVariant(plist_t node, int depth, QVariant* out);

bool DictToMap(plist_t dict, int depth, QVariantMap* out) {
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  if (!it) return true;
  bool ok = true;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    if (!value) {
      std::free(key);
      break;
    }
    QVariant v;
    if (key && ToVariant(value, depth + 1, &v))
      out->insert(QString::fromUtf8(key), v);
    else if (!key)
      ok = false;
    std::free(key);
  }
  std::free(it);
  return ok;
}

// Converts one node; false for a node that has no place in a preference
// file (nesting too deep), which is then left out.
bool ToVariant(plist_t node, int depth, QVariant* out) {
  if (depth > kMaxDepth) return false;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      *out = bool(b);
      return true;
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // The library keeps negative integers in two's complement.
      *out = qlonglong(int64_t(u));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      *out = d;
      return true;
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      *out = QString::fromUtf8(s ? s : "");
      std::free(s);
      return true;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t n = 0;
      plist_get_data_val(node, &d, &n);
      *out = QByteArray(d ? d : "", d ? qsizetype(n) : 0);
      std::free(d);
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      *out = PlistEpoch().addMSecs(qint64(sec) * 1000 + usec / 1000);
      return true;
    }
    case PLIST_ARRAY: {
      QVariantList list;
      const uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) {
        QVariant v;
        if (ToVariant(plist_array_get_item(node, i), depth + 1, &v)) list.append(v);
      }
      *out = list;
      return true;
    }
    case PLIST_DICT: {
      QVariantMap map;
      DictToMap(node, depth, &map);
      *out = map;
      return true;
    }
    default:
      return false;
  }
}

plist_t FromVariant(const QVariant& v, int depth) {
  if (depth > kMaxDepth) return nullptr;
  switch (v.typeId()) {
    case QMetaType::Bool:
      return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
      return plist_new_uint(uint64_t(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
      return plist_new_uint(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
      return plist_new_real(v.toDouble());
    case QMetaType::QString:
      return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
      const QByteArray b = v.toByteArray();
      return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::QDateTime: {
      const qint64 ms = PlistEpoch().msecsTo(v.toDateTime());
      return plist_new_date(int32_t(ms / 1000), int32_t((ms % 1000) * 1000));
    }
    case QMetaType::QVariantList: {
      plist_t array = plist_new_array();
      for (const QVariant& item : v.toList())
        if (plist_t n = FromVariant(item, depth + 1)) plist_array_append_item(array, n);
      return array;
    }
    case QMetaType::QVariantMap: {
      plist_t dict = plist_new_dict();
      const QVariantMap map = v.toMap();
      for (auto it = map.begin(); it != map.end(); ++it)
        if (plist_t n = FromVariant(it.value(), depth + 1)) plist_dict_set_item(dict, it.key().toUtf8().constData(), n);
      return dict;
    }
    default:
      return nullptr;
  }
}

// The library parses containers and frees them by recursion, so a list
// nested many thousand deep ends the process. These checks measure the
// nesting before the library sees the bytes.

// The deepest nesting of arrays and dictionaries in an XML property list,
// with the tags found as the library's parser finds them: processing
// instructions, comments, CDATA sections and the document type are skipped
// as it skips them (double quotes hide end marks where they hide them from
// it), and the count stops where that parser would stop with an error.
int XmlNesting(const char* p, const char* end) {
  auto startsWith = [&](const char* at, std::string_view text) {
    return size_t(end - at) >= text.size() && std::string_view(at, text.size()) == text;
  };
  // The first of `marks` at or after `at` (`end` when none); with `quotes`,
  // text between double quotes is passed over.
  auto findAny = [&](const char* at, std::string_view marks, bool quotes) {
    for (; at < end; ++at) {
      if (quotes && *at == '"' && (at = std::find(at + 1, end, '"')) == end) break;
      if (marks.find(*at) != std::string_view::npos) break;
    }
    return at;
  };
  auto skipPast = [&](const char* at, std::string_view mark, bool quotes) {
    for (; (at = findAny(at, mark.substr(0, 1), quotes)) < end; ++at)
      if (startsWith(at, mark)) return at + mark.size();
    return end;
  };
  int depth = 0, deepest = 0;
  while ((p = std::find(p, end, '<')) < end) {
    ++p;
    if (startsWith(p, "?")) {
      p = skipPast(p, "?>", true);
    } else if (startsWith(p, "!--")) {
      p = skipPast(p + 3, "-->", false);
    } else if (startsWith(p, "![CDATA[")) {
      p = skipPast(p + 8, "]]>", false);
    } else if (startsWith(p, "!DOCTYPE")) {
      p = findAny(p + 8, "[>", true);
      p = p < end && *p == '[' ? skipPast(p, "]>", true) : p + (p < end);
    } else if (startsWith(p, "!")) {
      break;
    } else {
      const char* name = p;
      p = findAny(p, " \r\n\t<>", false);
      std::string_view tag(name, size_t(p - name));
      p = findAny(p, "<>", true);
      if (p == end || *p != '>') break;
      const bool empty = p[-1] == '/';
      if (empty && tag.ends_with('/')) tag.remove_suffix(1);
      if (!empty && (tag == "array" || tag == "dict")) deepest = std::max(deepest, ++depth);
      if (tag == "/array" || tag == "/dict") --depth;
      ++p;
    }
  }
  return deepest;
}

// Checks a binary property list's nesting and the number of values the
// library would build from it (an object counted at each reference to it).
// Null when both are within bounds, else why the list is refused; a list
// whose objects cannot be followed is refused as damaged.
const char* BinaryProblem(const uint8_t* data, size_t size) {
  static const char* const kDamaged = "it is not a property list";
  static const char* const kTooDeep = "it is nested too deeply";
  static const char* const kTooMany = "it holds too many values";
  auto number = [](const uint8_t* p, unsigned bytes) {
    uint64_t v = 0;
    while (bytes--) v = v << 8 | *p++;
    return v;
  };
  if (size < 8 + 32) return kDamaged;
  const uint8_t* trailer = data + size - 32;
  const unsigned offsetSize = trailer[6], refSize = trailer[7];
  const uint64_t count = number(trailer + 8, 8), root = number(trailer + 16, 8), table = number(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || root >= count || table < 8 ||
      table > size - 32 || count > (size - 32 - table) / offsetSize)
    return kDamaged;
  if (count > kMaxBinaryNodes) return kTooMany;

  struct Frame {
    uint64_t object = 0;
    bool container = false;  // array, set or dictionary
    const uint8_t* refs = nullptr;
    uint64_t n = 0, next = 0;
    int depth = 0;       // of the deepest child measured so far
    uint64_t nodes = 1;  // this object and the children measured so far
  };
  // The object's references; false when it lies outside the object area.
  auto frame = [&](uint64_t object, Frame* f) {
    f->object = object;
    const uint64_t offset = number(data + table + object * offsetSize, offsetSize);
    if (offset < 8 || offset >= table) return false;
    const uint8_t* p = data + offset;
    const uint8_t* const limit = data + table;
    const unsigned type = *p >> 4;
    // Arrays, sets and dictionaries (and the unassigned marker among them).
    f->container = type >= 0xA && type <= 0xD;
    if (!f->container) return true;
    uint64_t items = *p++ & 0x0F;
    if (items == 0x0F) {
      if (p >= limit || (*p >> 4) != 1 || (*p & 0x0F) > 3) return false;
      const unsigned bytes = 1u << (*p++ & 0x0F);
      if (unsigned(limit - p) < bytes) return false;
      items = number(p, bytes);
      p += bytes;
    }
    const unsigned perItem = type == 0xD ? 2 : 1;  // dictionaries: keys, then values
    if (items > uint64_t(limit - p) / refSize / perItem) return false;
    items *= perItem;
    f->refs = p;
    f->n = items;
    return true;
  };

  // Depth-first without recursion; each object is measured once.
  enum : uint8_t { kNew, kOpen, kDone };
  std::vector<uint8_t> state(count, kNew);
  std::vector<uint8_t> depths(count, 0);
  std::vector<uint32_t> nodes(count, 0);
  std::vector<Frame> stack(1);
  if (!frame(root, &stack.back())) return kDamaged;
  state[root] = kOpen;
  for (;;) {
    Frame& f = stack.back();
    if (f.next < f.n) {
      const uint64_t child = number(f.refs + f.next++ * refSize, refSize);
      if (child >= count || state[child] == kOpen) return kDamaged;  // out of range, or a cycle
      if (state[child] == kDone) {
        f.depth = std::max(f.depth, int(depths[child]));
        if ((f.nodes += nodes[child]) > kMaxBinaryNodes) return kTooMany;
      } else {
        if (stack.size() > size_t(kMaxDepth)) return kTooDeep;
        Frame next;
        if (!frame(child, &next)) return kDamaged;
        state[child] = kOpen;
        stack.push_back(next);
      }
      continue;
    }
    const int depth = f.depth + f.container;
    if (depth > kMaxDepth) return kTooDeep;
    state[f.object] = kDone;
    depths[f.object] = uint8_t(depth);
    nodes[f.object] = uint32_t(f.nodes);
    const uint64_t measured = f.nodes;
    stack.pop_back();
    if (stack.empty()) return nullptr;
    stack.back().depth = std::max(stack.back().depth, depth);
    if ((stack.back().nodes += measured) > kMaxBinaryNodes) return kTooMany;
  }
}

QString FolderOf(int domain) {
  if (domain != 0) {
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    QString first = (dirs && *dirs) ? QString::fromLocal8Bit(dirs).section(QLatin1Char(':'), 0, 0) : QString();
    if (first.isEmpty()) first = QStringLiteral("/etc/xdg");
    return QFileInfo(first).isDir() ? first : QString();
  }
  QString folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    folder = QString::fromLocal8Bit(config);
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = getpwuid(getuid());
      if (!pw) return {};
      home = pw->pw_dir;
    }
    folder = QString::fromLocal8Bit(home) + QLatin1String("/.config");
  }
  // The folder and any missing folders above it are made private to the
  // user (mode 0700), as XDG asks of a configuration folder it creates.
  const QByteArray path = QFile::encodeName(folder);
  for (qsizetype end = path.indexOf('/', 1); ; end = path.indexOf('/', end + 1)) {
    const QByteArray part = end < 0 ? path : path.left(end);
    if (mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
      Log("preferences: cannot make the folder %s: %s", part.constData(), std::strerror(errno));
      return {};
    }
    if (end < 0) break;
  }
  return QFileInfo(folder).isDir() ? folder : QString();
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

// The settings dictionary of one dictionary, when it is one.
const QVariant* SettingsIn(const QVariantMap& dict, const char* key) {
  auto it = dict.find(QLatin1String(key));
  if (it == dict.end() || it->typeId() != QMetaType::QVariantMap) return nullptr;
  return &*it;
}

}  // namespace

QString CreatePrefsUrl(int domain, const QString& fileName) {
  const QString folder = FolderOf(domain);
  if (folder.isEmpty()) return {};
  return folder + QLatin1Char('/') + fileName;
}

PrefsRead PrefsFromData(const QByteArray& data, QVariantMap* dict, QString* why) {
  if (data.isEmpty()) {
    *why = QStringLiteral("the file is empty");
    return PrefsRead::kUnreadable;
  }
  // The library's accessors abort the process on a text with a NUL byte
  // inside, which no property list may hold but a damaged one can: such
  // lists are refused before any text is read from them.
  const bool binary = plist_is_binary(data.constData(), uint32_t(data.size()));
  if (!binary && data.contains('\0')) {
    *why = QStringLiteral("it holds a NUL byte");
    return PrefsRead::kUnreadable;
  }
  const char* problem = binary ? BinaryProblem(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()))
                        : XmlNesting(data.constData(), data.constData() + data.size()) > kMaxDepth
                            ? "it is nested too deeply"
                            : nullptr;
  if (problem) {
    *why = QString::fromLatin1(problem);
    return PrefsRead::kUnreadable;
  }
  const CLocaleScope cLocale;
  PlistHolder root;
  plist_from_memory(data.constData(), uint32_t(data.size()), &root.node);
  if (root.node && binary) {
    // A binary list is read through its XML form, where such texts show.
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.node, &xml, &length);
    plist_free(root.node);
    root.node = nullptr;
    if (xml && std::memchr(xml, 0, length) == nullptr) plist_from_xml(xml, length, &root.node);
    if (xml) plist_to_xml_free(xml);
  }
  if (!root.node) {
    *why = QStringLiteral("it is not a property list");
    return PrefsRead::kUnreadable;
  }
  if (plist_get_node_type(root.node) != PLIST_DICT) {
    *why = QStringLiteral("its top level is not a dictionary");
    return PrefsRead::kUnreadable;
  }
  dict->clear();
  DictToMap(root.node, 0, dict);
  return PrefsRead::kRead;
}

PrefsRead ReadPrefsFile(int domain, const QString& fileName, QVariantMap* dict) {
  const QString path = CreatePrefsUrl(domain, fileName);
  if (path.isEmpty()) return PrefsRead::kMissing;
  QFile file(path);
  if (!file.exists()) return PrefsRead::kMissing;
  const QByteArray name = QFile::encodeName(path);
  if (file.size() > kMaxPrefsFileSize) {
    Log("preferences: %s is too large for a preference file (%lld bytes); its settings are not used",
        name.constData(), static_cast<long long>(file.size()));
    return PrefsRead::kUnreadable;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    Log("preferences: cannot read %s: %s; its settings are not used", name.constData(),
        file.errorString().toUtf8().constData());
    return PrefsRead::kUnreadable;
  }
  const QByteArray data = file.readAll();
  QString why;
  const PrefsRead result = PrefsFromData(data, dict, &why);
  if (result == PrefsRead::kUnreadable)
    Log("preferences: %s cannot be used (%s); its settings read as defaults and the file is kept until the next save",
        name.constData(), why.toUtf8().constData());
  return result;
}

std::optional<QVariantMap> CopyPrefsFromFile(int domain, const QString& fileName) {
  QVariantMap dict;
  if (ReadPrefsFile(domain, fileName, &dict) != PrefsRead::kRead) return std::nullopt;
  return dict;
}

QByteArray PrefsToData(const QVariantMap& dict) {
  const CLocaleScope cLocale;
  PlistHolder root;
  root.node = FromVariant(QVariant(dict), 0);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.node, &xml, &length);
  if (!xml) return {};
  QByteArray data(xml, qsizetype(length));
  plist_to_xml_free(xml);
  return data;
}

bool WritePrefsToFile(const QVariantMap& dict) {
  QString path = CreatePrefsUrl(0, QString::fromLatin1(kPrefsFileName));
  if (path.isEmpty()) return false;
  // A preference file that is a link (kept by a dotfile manager, say) stays
  // one: the file it points to is replaced.
  const QFileInfo info(path);
  if (info.isSymLink() && !info.canonicalFilePath().isEmpty()) path = info.canonicalFilePath();
  const QByteArray target = QFile::encodeName(path);

  const QByteArray xml = PrefsToData(dict);
  if (xml.isEmpty()) {
    Log("preferences: cannot turn the settings into a property list; %s is left as it was", target.constData());
    return false;
  }

  QByteArray temp = target + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    Log("preferences: cannot write beside %s: %s; the settings were not saved", target.constData(), std::strerror(errno));
    return false;
  }
  // Keep the permissions of the file being replaced, but never lock the
  // owner out of the settings: the owner may always read and write them.
  struct stat st;
  if (stat(target.constData(), &st) == 0) fchmod(fd, (st.st_mode & 07777) | S_IRUSR | S_IWUSR);

  bool ok = WriteAll(fd, xml.constData(), size_t(xml.size()));
  int err = errno;
  if (ok && fsync(fd) != 0) ok = false, err = errno;
  if (close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && gPrefsBeforeReplaceHook) gPrefsBeforeReplaceHook();
  if (ok && rename(temp.constData(), target.constData()) != 0) ok = false, err = errno;
  if (!ok) {
    Log("preferences: cannot write %s: %s; the settings were not saved", target.constData(), std::strerror(err));
    unlink(temp.constData());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  if (int dfd = open(folder.constData(), O_RDONLY | O_DIRECTORY); dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

QVariantMap CopyPrefs() {
  QVariantMap prefs;
  const PrefsRead current = ReadPrefsFile(0, QString::fromLatin1(kPrefsFileName), &prefs);
  if (current == PrefsRead::kRead) {
    const QVariant migration = prefs.value(QLatin1String(kMigrationKey));
    const bool isNumber = migration.typeId() == QMetaType::LongLong || migration.typeId() == QMetaType::Double;
    if (isNumber && migration.toLongLong() > 0) return prefs;
  } else {
    prefs.clear();
  }

  QVariantMap older[3];
  for (int i = 0; i < 3; ++i) ReadPrefsFile(0, QString::fromLatin1(kOlderPrefsFileNames[i]), &older[i]);

  if (!prefs.contains(QLatin1String(kScanSettingsKey))) {
    const QVariant* sources[] = {
        SettingsIn(older[0], kScanSettingsKey),     SettingsIn(older[1], kScanSettingsKey),
        SettingsIn(older[2], kScanSettingsKey),     SettingsIn(prefs, kOlderScanSettingsKey),
        SettingsIn(older[0], kOlderScanSettingsKey), SettingsIn(older[1], kOlderScanSettingsKey),
        SettingsIn(older[2], kOlderScanSettingsKey),
    };
    for (const QVariant* source : sources) {
      if (source) {
        prefs.insert(QLatin1String(kScanSettingsKey), *source);
        break;
      }
    }
  }
  prefs.remove(QLatin1String(kOlderScanSettingsKey));
  prefs.insert(QLatin1String(kMigrationKey), qlonglong(kCurrentMigration));

  // A current file that exists but cannot be read is not replaced here: the
  // user may still mend it; the next save of the settings replaces it.
  if (current != PrefsRead::kUnreadable) WritePrefsToFile(prefs);
  return prefs;
}

std::optional<QVariantMap> CopyScanSettingFromPrefs() {
  const QVariantMap prefs = CopyPrefs();
  auto it = prefs.find(QLatin1String(kScanSettingsKey));
  if (it == prefs.end()) return std::nullopt;
  if (it->typeId() != QMetaType::QVariantMap) {
    Log("preferences: \"%s\" is not a dictionary; the default settings are used", kScanSettingsKey);
    return std::nullopt;
  }
  return it->toMap();
}

void WriteScanSettingsToPrefs(const QVariantMap& settings) {
  QVariantMap prefs = CopyPrefs();
  prefs.insert(QLatin1String(kScanSettingsKey), settings);
  WritePrefsToFile(prefs);
}

}  // namespace quirel::frontend
