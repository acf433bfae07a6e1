// ScannerInfo: the attached scanner as the tool's listing and capability report describe it.
#include "ScannerInfo.h"

#include <QStringList>
#include <cctype>
#include <limits>

namespace quirel::frontend {

namespace {

int SkipBlanks(const QString& text) {
  int i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  return i;
}

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

}  // namespace

double LeadingDouble(const QString& text) {
  int i = SkipBlanks(text);
  const int start = i;
  if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) ++i;
  int digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == QLatin1Char('.')) {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  // An exponent counts only when digits follow it.
  if (i < text.size() && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
    int j = i + 1;
    if (j < text.size() && (text[j] == QLatin1Char('+') || text[j] == QLatin1Char('-'))) ++j;
    if (j < text.size() && IsDigit(text[j])) {
      while (j < text.size() && IsDigit(text[j])) ++j;
      i = j;
    }
  }
  bool ok = false;
  const double v = text.mid(start, i - start).toLatin1().toDouble(&ok);  // QByteArray reads the C locale
  return ok ? v : 0;
}

int32_t LeadingInt(const QString& text) {
  int i = SkipBlanks(text);
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) negative = text[i++] == QLatin1Char('-');
  int64_t v = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    v = v * 10 + (text[i].unicode() - '0');
    if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) v = int64_t(std::numeric_limits<int32_t>::max()) + 1;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return int32_t(v);
}

uint32_t LeadingHex(const QString& text) {
  int i = SkipBlanks(text);
  if (i + 1 < text.size() && text[i] == QLatin1Char('0') && (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X')))
    i += 2;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    v = v * 16 + uint64_t(d);
    if (v > 0xFFFFFFFFu) v = 0x100000000u;
  }
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
}

std::optional<ScannerInfo> ParseEnumerateOutput(const QString& text, QString* locationText) {
  const QStringList pieces = text.split(QLatin1Char('\n'));
  if (pieces.size() < 3) return std::nullopt;
  const QStringList fields = pieces[1].split(QLatin1Char(' '));
  ScannerInfo info;
  info.modelName = fields.value(0);
  info.vendor = LeadingHex(fields.value(1));
  info.product = LeadingHex(fields.value(2));
  *locationText = fields.value(3);
  info.location = LeadingHex(*locationText);
  info.multipleScanners = pieces.size() > 3;
  return info;
}

void ApplyCapabilities(const QString& text, ScannerInfo* info) {
  auto after = [](const QString& line, const QString& prefix) { return line.mid(prefix.size()); };
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    auto starts = [&](const char* prefix) { return line.startsWith(QLatin1String(prefix)); };
    auto rest = [&](const char* prefix) { return after(line, QLatin1String(prefix)); };
    if (line == QLatin1String("supported: y")) info->supported = true;
    else if (starts("adf width: ")) info->adfWidth = LeadingDouble(rest("adf width: "));
    else if (starts("adf length: ")) info->adfLength = LeadingDouble(rest("adf length: "));
    else if (starts("adf long scan resolution cutoff 1: "))
      info->adfLongResCutoff1 = LeadingInt(rest("adf long scan resolution cutoff 1: "));
    else if (starts("adf long scan length 1: ")) info->adfLongLength1 = LeadingDouble(rest("adf long scan length 1: "));
    else if (starts("adf long scan resolution cutoff 2: "))
      info->adfLongResCutoff2 = LeadingInt(rest("adf long scan resolution cutoff 2: "));
    else if (starts("adf long scan length 2: ")) info->adfLongLength2 = LeadingDouble(rest("adf long scan length 2: "));
    else if (line == QLatin1String("flatbed: y")) info->hasFlatbed = true;
    else if (line == QLatin1String("flatbed direction: top")) info->fbLeft = false;
    else if (line == QLatin1String("flatbed direction: left")) info->fbLeft = true;
    else if (starts("flatbed width: ")) info->fbWidth = LeadingDouble(rest("flatbed width: "));
    else if (starts("flatbed height: ")) info->fbHeight = LeadingDouble(rest("flatbed height: "));
    else if (line == QLatin1String("length detect: y")) info->hasAutoLen = true;
    else if (line == QLatin1String("supports jpeg: y")) info->supportsJpeg = true;
    else if (line == QLatin1String("feeds face down: n")) info->feedsFaceUp = true;
    else if (starts("adf long scan modes: "))
      info->adfLongScanModes = uint8_t(LeadingInt(rest("adf long scan modes: ")) & 0xFF);
  }
}

}  // namespace quirel::frontend
