// The window tests' entry: one QApplication for every test, on the
// offscreen platform unless the environment names another, so the tests
// (and their discovery at build time) never need a display. Given
// "--screenshots FOLDER" it saves the documentation's pictures instead.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>

#include "screenshots.h"

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (argc == 3 && std::strcmp(argv[1], "--screenshots") == 0) {
    QApplication application(argc, argv);
    return zelkord::testing::SaveScreenshots(argv[2]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  // The tests close windows themselves; the application must not quit then.
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
