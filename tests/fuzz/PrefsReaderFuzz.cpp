// Fuzz target: a preference file as the store reads it (XML or binary
// property list), then the settings dictionary read from it, turned into
// the tool's arguments and written back into a dictionary.
#include <QByteArray>
#include <QVariantMap>
#include <cstddef>
#include <cstdint>

#include "FrontendLog.h"
#include "PrefsStore.h"
#include "Quirel_Settings.h"

using namespace quirel::frontend;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    SetLogSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  QVariantMap prefs;
  QString why;
  if (PrefsFromData(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), &prefs, &why) != PrefsRead::kRead)
    return 0;
  const QVariant stored = prefs.value(QString::fromLatin1(kScanSettingsKey));
  Quirel_Settings settings;
  settings.readFromDictionary(stored.toMap());
  settings.getArgs();
  QVariantMap again;
  settings.writeToDictionary(&again);
  return 0;
}
