// Loading an action plug-in with dlopen.
#include "AMPlugin.h"

#include <dlfcn.h>

namespace quirel::amhost {

std::unique_ptr<AMBundleAction> LoadAction(const AMBundle& bundle, const QVariantMap& parameters, QString* why) {
  const QString library = bundle.executablePath();
  if (library.isEmpty()) {
    *why = QStringLiteral("%1: Info.plist names no CFBundleExecutable").arg(bundle.path);
    return nullptr;
  }
  void* handle = dlopen(library.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* err = dlerror();
    *why = err ? QString::fromLocal8Bit(err) : library + QStringLiteral(": cannot be loaded");
    return nullptr;
  }
  auto create = reinterpret_cast<AMCreateActionFn>(dlsym(handle, kAMCreateActionSymbol));
  if (!create) {
    *why = QStringLiteral("%1: no entry %2").arg(library, QString::fromLatin1(kAMCreateActionSymbol));
    return nullptr;
  }
  std::unique_ptr<AMBundleAction> action(create(&bundle, &parameters));
  if (!action) *why = QStringLiteral("%1: the plug-in made no action").arg(library);
  return action;
}

}  // namespace quirel::amhost
