// GoogleTest main for the window tests: one QApplication on the offscreen
// platform, the program's fonts and artwork, and alerts recorded instead of
// shown (a modal box would wait for a click nobody makes).
#include <gtest/gtest.h>

#include <QApplication>

#include "GuiTestSupport.h"
#include "ui/Forms.h"

int main(int argc, char** argv) {
  // The offscreen platform, with any screen a test run chose for it
  // (offscreen:configfile=...).
  if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith("offscreen"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  tarvel::forms::InitResources();
  tarvel::forms::InstallFonts();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
