// Registry of the GUI test classes: each test file registers its class with
// QUIREL_GUI_TEST, and the test executable runs the class named by its first
// argument (all of them without one).
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace guitest {

struct Suite {
  const char* name;
  std::function<std::unique_ptr<QObject>()> make;
};

std::vector<Suite>& Suites();

struct Registrar {
  Registrar(const char* name, std::function<std::unique_ptr<QObject>()> make) {
    Suites().push_back(Suite{name, std::move(make)});
  }
};

}  // namespace guitest

#define QUIREL_GUI_TEST(Class) \
  static guitest::Registrar Class##Registrar(#Class, [] { return std::unique_ptr<QObject>(new Class); });
