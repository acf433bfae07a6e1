#include "GuiTestMain.h"

#include <QApplication>
#include <QTest>
#include <cstdio>
#include <cstring>

namespace guitest {
std::vector<Suite>& Suites() {
  static std::vector<Suite> suites;
  return suites;
}
}  // namespace guitest

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const char* only = nullptr;
  std::vector<char*> args{argv[0]};
  if (argc > 1 && argv[1][0] != '-') {
    only = argv[1];
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  } else {
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  }
  int failures = 0;
  bool ran = false;
  for (const guitest::Suite& suite : guitest::Suites()) {
    if (only && std::strcmp(only, suite.name) != 0) continue;
    ran = true;
    std::unique_ptr<QObject> test = suite.make();
    failures += QTest::qExec(test.get(), int(args.size()), args.data());
  }
  if (!ran) {
    std::fprintf(stderr, "no test class named %s\n", only ? only : "(none registered)");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
