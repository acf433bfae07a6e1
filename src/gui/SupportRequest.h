// The support request: a mail to the support mailbox whose body lists the
// attached scanners (as the command-line tool prints them) and a small
// report of this system, opened in the user's mail program.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

struct BundleVersions {
  QString identifier;    // CFBundleIdentifier
  QString shortVersion;  // CFBundleShortVersionString
  QString version;       // CFBundleVersion
};

// Runs `program` with `args`, waits for it, and returns its standard
// output when it exits with 0, else its standard error (both read whole, so
// a talkative program cannot block); empty when it cannot be started.
QString RunForText(const QString& program, const QStringList& args, int* exitStatus = nullptr);

// This system in a few lines: the kernel (uname), the distribution
// (/etc/os-release) and the USB devices attached (from sysfs, or `root`
// in place of /sys for tests).
QString SystemReport(const QString& sysRoot = "/sys", const QString& osRelease = "/etc/os-release");

constexpr const char* kSupportMailbox = "quirel-support@brannoch.com";
constexpr const char* kSupportSubject = "Quirel support request";

// The mail's body from the scanner list and the system text.
QString SupportMailBody(const BundleVersions& bundle, const QString& scanners, const QString& system);
// "mailto:MAILBOX?SUBJECT=...&BODY=..." with subject and body percent-escaped as UTF-8.
QUrl SupportMailUrl(const QString& body);
