#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "GuiTestSupport.h"
#include "core/MainModule.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/StartupForm.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

class StartupWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    presenter = std::make_shared<testing::RecordingPresenter>();
    SetAlertPresenter(presenter);
    PortAddress = 0;
  }
  void TearDown() override {
    forms::UnloadStartup();
    forms::UnloadMain();
    testing::Settle();
    SetAlertPresenter(nullptr);
  }
  std::shared_ptr<testing::RecordingPresenter> presenter;
  testing::TempWorkDir work{"startup"};
};

TEST_F(StartupWindow, LoadChecksLpt1SetsItsAddressAndDeletesALeftoverResult) {
  std::ofstream("TRVOutput.dat") << "RX4410R, 1, 2\r\n";
  fs::create_directory("elsewhere");
  std::ofstream("elsewhere/TRVOutput.dat") << "kept\r\n";

  StartupForm* form = forms::LoadStartup();
  EXPECT_TRUE(form->LPT1->isChecked());
  EXPECT_FALSE(form->LPT2->isChecked());
  EXPECT_FALSE(form->PRN->isChecked());
  EXPECT_EQ(PortAddress, 888);
  EXPECT_FALSE(fs::exists("TRVOutput.dat"));
  EXPECT_TRUE(fs::exists("elsewhere/TRVOutput.dat")) << "only the working directory's file";
  EXPECT_EQ(form->windowTitle(), "Setup Menu");
  EXPECT_EQ(form->MainLabel->text(), "Select Transmission Port");
  EXPECT_EQ(form->LPT1->text(), "   LPT1 (H378-H37A)");
  EXPECT_EQ(form->LPT2->text(), "   LPT2 (H278-H27A)");
  EXPECT_EQ(form->PRN->text(), "   PRN  (H3BC-H3BE)");
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(StartupWindow, EachClickStoresItsAddressAtOnce) {
  StartupForm* form = forms::LoadStartup();
  form->show();
  struct Step {
    QRadioButton* button;
    int address;
  };
  const Step steps[] = {{form->LPT2, 632}, {form->PRN, 956}, {form->LPT1, 888}, {form->PRN, 956}};
  for (const auto& s : steps) {
    QTest::mouseClick(s.button, Qt::LeftButton, {}, QPoint(8, s.button->height() / 2));
    EXPECT_TRUE(s.button->isChecked());
    EXPECT_EQ(PortAddress, s.address);
  }
}

TEST_F(StartupWindow, OkOpensTheGainControlWindowWithTheChosenPortAndUnloadsItself) {
  StartupForm* form = forms::LoadStartup();
  form->show();
  form->LPT2->click();
  QPointer<StartupForm> watch(form);
  QTest::mouseClick(form->OK, Qt::LeftButton);
  testing::Settle();
  EXPECT_TRUE(watch.isNull());
  EXPECT_EQ(forms::Startup(), nullptr);
  ASSERT_NE(forms::Main(), nullptr);
  EXPECT_TRUE(forms::Main()->isVisible());
  EXPECT_EQ(forms::Main()->windowTitle(), "Tarvel Control");
  EXPECT_EQ(PortAddress, 632);
}

TEST_F(StartupWindow, TabOrderRunsFromOkThroughTheOptions) {
  StartupForm* form = forms::LoadStartup();
  std::vector<QWidget*> chain;
  QWidget* w = form->OK;
  do {
    if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != form->OK && chain.size() < 10);
  EXPECT_EQ(chain, (std::vector<QWidget*>{form->OK, form->LPT1, form->LPT2, form->PRN}));
}

}  // namespace
}  // namespace tarvel
