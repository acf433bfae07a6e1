// HelperApp: the applications that open PDF and TIFF files, from the desktop's records, and opening a file with one.
#include "HelperApp.h"

#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace quirel::frontend {

namespace {

QString TakeString(gchar* s) {
  QString out = s ? QString::fromUtf8(s) : QString();
  g_free(s);
  return out;
}

std::optional<HelperApp> FromDesktopAppInfo(GDesktopAppInfo* info) {
  if (!info) return std::nullopt;
  HelperApp app;
  const char* file = g_desktop_app_info_get_filename(info);
  app.appPath = file ? QString::fromUtf8(file) : QString();
  // In a sandbox the entry's name may not be readable as the host shows it:
  // the file's own name stands for it.
  if (const char* sandbox = std::getenv("APP_SANDBOX_CONTAINER_ID"); sandbox && !app.appPath.isEmpty())
    app.appName = QFileInfo(app.appPath).completeBaseName();
  else if (const char* name = g_app_info_get_display_name(G_APP_INFO(info)))
    app.appName = QString::fromUtf8(name);
  if (const char* id = g_app_info_get_id(G_APP_INFO(info))) app.bundleId = QString::fromUtf8(id);
  app.bundleVers = TakeString(g_desktop_app_info_get_string(info, "X-AppVersion"));
  app.displayName = app.appName;
  return app;
}

}  // namespace

HelperApp::HelperApp(const QString& bundle, const QString& path, const QString& name)
    : appPath(path), appName(name), bundleId(bundle) {}

std::optional<HelperApp> HelperApp::fromDesktopFile(const QString& path) {
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(QFile::encodeName(path).constData());
  auto app = FromDesktopAppInfo(info);
  if (info) g_object_unref(info);
  return app;
}

std::optional<HelperApp> HelperApp::fromDesktopId(const QString& id) {
  GDesktopAppInfo* info = g_desktop_app_info_new(id.toUtf8().constData());
  auto app = FromDesktopAppInfo(info);
  if (info) g_object_unref(info);
  return app;
}

std::vector<HelperApp> HelperApp::allForType(const QString& contentType) {
  std::vector<HelperApp> apps;
  GList* list = g_app_info_get_all_for_type(contentType.toUtf8().constData());
  for (GList* l = list; l; l = l->next) {
    if (G_IS_DESKTOP_APP_INFO(l->data))
      if (auto app = FromDesktopAppInfo(G_DESKTOP_APP_INFO(l->data))) apps.push_back(*app);
  }
  g_list_free_full(list, g_object_unref);
  return apps;
}

bool HelperApp::openFile(const QString& file, QString* error) const {
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(QFile::encodeName(appPath).constData());
  if (!info) {
    *error = QStringLiteral("%1 is not an application's desktop entry").arg(appPath);
    return false;
  }
  GFile* target = g_file_new_for_path(QFile::encodeName(file).constData());
  GList files = {target, nullptr, nullptr};
  GError* gerr = nullptr;
  const bool ok = g_app_info_launch(G_APP_INFO(info), &files, nullptr, &gerr);
  if (!ok) {
    *error = QString::fromUtf8(gerr ? gerr->message : "the application could not be started");
    if (gerr) g_error_free(gerr);
  }
  g_object_unref(target);
  g_object_unref(info);
  return ok;
}

int HelperApp::compare(const HelperApp& other) const {
  const int byName = appName.compare(other.appName, Qt::CaseInsensitive);
  if (byName != 0) return byName;
  return bundleVers.compare(other.bundleVers, Qt::CaseSensitive);
}

}  // namespace quirel::frontend
