// Parsing of QUIREL_VIRTUAL_SCANNER descriptions into scanner configurations, with the cause of each refusal.
#include "VirtualConfig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace quirel::virt {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A whole decimal or 0x-prefixed hexadecimal number that fits in 32 bits.
bool ParseNumber(const std::string& text, uint32_t* value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  int base = 10;
  size_t start = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    start = 2;
  }
  uint64_t v = 0;
  for (size_t i = start; i < t.size(); ++i) {
    int d;
    char c = t[i];
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * uint64_t(base) + uint64_t(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  *value = uint32_t(v);
  return true;
}

bool ParseRange(const std::string& text, uint32_t lo, uint32_t hi, int* value) {
  uint32_t v;
  if (!ParseNumber(text, &v) || v < lo || v > hi) return false;
  *value = int(v);
  return true;
}

class Parser {
 public:
  Parser(int index, int count) : mIndex(index), mCount(count) {}

  bool Fail(const std::string& message) {
    mError = "QUIREL_VIRTUAL_SCANNER: ";
    if (mCount > 1) mError += "scanner " + std::to_string(mIndex + 1) + ": ";
    mError += message;
    return false;
  }
  bool BadValue(const std::string& key, const std::string& value, const std::string& expected) {
    return Fail("bad value '" + value + "' for key '" + key + "': expected " + expected);
  }

  bool ParseFaults(const std::string& value, FaultSet* f) {
    for (const std::string& raw : Split(value, ',')) {
      std::string item = Trim(raw);
      if (item.empty()) continue;
      size_t eq = item.find('=');
      std::string name = Lower(Trim(item.substr(0, eq)));
      std::string arg = eq == std::string::npos ? std::string() : Trim(item.substr(eq + 1));
      bool hasArg = eq != std::string::npos;
      auto number = [&](int* out, const char* what) {
        if (!hasArg || !ParseRange(arg, 1, 1000000, out))
          return BadValue("faults", item, std::string(name) + "=N with " + what + " of 1 or more");
        return true;
      };
      if (name == "jam") {
        if (!number(&f->jamSheet, "a sheet number")) return false;
      } else if (name == "doublefeed") {
        if (!number(&f->doubleFeedSheet, "a sheet number")) return false;
      } else if (name == "unplug") {
        if (!number(&f->unplugSheet, "a sheet number")) return false;
      } else if (name == "busy") {
        if (!number(&f->busyAnswers, "a count")) return false;
      } else if (name == "lampwarmup") {
        if (!number(&f->lampWarmup, "a count")) return false;
      } else if (name == "coveropen") {
        if (!hasArg) f->coverOpenSheet = 1;
        else if (!number(&f->coverOpenSheet, "a sheet number")) return false;
      } else if (name == "shortreads" && !hasArg) {
        f->shortReads = true;
      } else if (name == "bogustimeout" && !hasArg) {
        f->bogusTimeout = true;
      } else {
        return BadValue("faults", item,
                        "jam=N, doublefeed=N, coveropen, unplug=N, busy=K, shortreads, bogustimeout or lampwarmup=K");
      }
    }
    return true;
  }

  bool Parse(const std::string& text, ScannerConfig* cfg, bool* hasLocation) {
    std::set<std::string> seen;
    std::vector<std::string> pageFiles;
    *hasLocation = false;
    for (const std::string& raw : Split(text, ';')) {
      std::string item = Trim(raw);
      if (item.empty()) continue;
      size_t eq = item.find('=');
      if (eq == std::string::npos) return Fail("'" + item + "' is not of the form key=value");
      std::string key = Lower(Trim(item.substr(0, eq)));
      std::string value = Trim(item.substr(eq + 1));
      if (!seen.insert(key).second) return Fail("key '" + key + "' is given twice");
      if (key == "model") {
        cfg->model = FindModel(value);
        if (!cfg->model) return BadValue(key, value, "a model name of the model table or its USB product id");
      } else if (key == "pages") {
        for (const std::string& p : Split(value, ',')) {
          std::string path = Trim(p);
          if (path.empty()) return BadValue(key, value, "image file names separated by ','");
          pageFiles.push_back(path);
        }
      } else if (key == "dpi") {
        if (!ParseRange(value, 50, 2400, &cfg->dpi)) return BadValue(key, value, "a resolution from 50 to 2400");
      } else if (key == "sheets") {
        if (!ParseRange(value, 0, 100000, &cfg->sheets)) return BadValue(key, value, "a sheet count from 0 to 100000");
      } else if (key == "location") {
        if (!ParseNumber(value, &cfg->location) || cfg->location == 0)
          return BadValue(key, value, "a non-zero 32-bit USB location id such as 0x14100000");
        *hasLocation = true;
      } else if (key == "speed") {
        std::string v = Lower(value);
        if (v == "full") cfg->speed = 1;
        else if (v == "high") cfg->speed = 2;
        else if (v == "super") cfg->speed = 3;
        else return BadValue(key, value, "full, high or super");
      } else if (key == "faults") {
        if (!ParseFaults(value, &cfg->faults)) return false;
      } else if (key == "jpeglength") {
        std::string v = Lower(value);
        if (v == "paper") cfg->jpegWindowLength = false;
        else if (v == "window") cfg->jpegWindowLength = true;
        else return BadValue(key, value, "paper or window");
      } else {
        return Fail("unknown key '" + key +
                    "' (keys: model, pages, dpi, sheets, location, speed, faults, jpeglength)");
      }
    }
    if (!cfg->model) return Fail("the key 'model' is missing");
    for (const std::string& path : pageFiles) {
      auto file = std::make_shared<PageFile>();
      std::string why;
      if (!ProbePageFile(path, file.get(), &why)) return Fail(why);
      cfg->pages.push_back(std::move(file));
    }
    return true;
  }

  const std::string& Error() const { return mError; }

 private:
  int mIndex;
  int mCount;
  std::string mError;
};

}  // namespace

const ZuzuvovOvav::ProductSettings* FindModel(const std::string& nameOrId) {
  uint32_t id;
  if (ParseNumber(nameOrId, &id) && id != 0) return ZuzuvovOvav::Device::GetProductById(id);
  std::string want = Lower(Trim(nameOrId));
  if (want.empty()) return nullptr;
  for (const ZuzuvovOvav::ProductSettings* row = ZuzuvovOvav::Device::sProductSettings; row->mProductId != 0; ++row)
    if (row->mSupported && Lower(row->mModelName) == want) return row;
  return nullptr;
}

bool ParseDescription(const std::string& text, std::vector<ScannerConfig>* out, std::string* error) {
  std::vector<std::string> parts = Split(text, '|');
  std::vector<ScannerConfig> configs(parts.size());
  std::vector<bool> explicitLocation(parts.size());
  std::set<uint32_t> used;
  for (size_t i = 0; i < parts.size(); ++i) {
    Parser parser(int(i), int(parts.size()));
    bool hasLocation = false;
    if (Trim(parts[i]).empty()) {
      parser.Fail("the description is empty");
      *error = parser.Error();
      return false;
    }
    if (!parser.Parse(parts[i], &configs[i], &hasLocation)) {
      *error = parser.Error();
      return false;
    }
    explicitLocation[i] = hasLocation;
    if (hasLocation && !used.insert(configs[i].location).second) {
      char value[16];
      std::snprintf(value, sizeof value, "0x%08x", unsigned(configs[i].location));
      parser.BadValue("location", value, "a location no other scanner has");
      *error = parser.Error();
      return false;
    }
  }
  // Scanners without a location take distinct sockets on bus 0x14.
  uint32_t next = 0x14100000;
  for (size_t i = 0; i < configs.size(); ++i) {
    if (explicitLocation[i]) continue;
    while (used.count(next)) next += 0x00100000;
    configs[i].location = next;
    used.insert(next);
  }
  *out = std::move(configs);
  return true;
}

}  // namespace quirel::virt
