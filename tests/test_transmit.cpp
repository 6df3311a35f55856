// Sending and reading back from the gain-control window, checked on the
// simulated bench; the menus and the about box.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QUrl>
#include <fstream>

#include "GuiTestSupport.h"
#include "RecordingPort.h"
#include "core/MainModule.h"
#include "core/Version.h"
#include "device/PortIO.h"
#include "sim/SimBench.h"
#include "ui/AboutForm.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/StartupForm.h"

namespace tarvel {
namespace {

class Transmitting : public testing::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Open();
  }
  void TearDown() override {
    WindowTest::TearDown();
    QDesktopServices::unsetUrlHandler("file");
  }
  void Codes(int a, int b) {
    main->GainSlide[0]->SetCode(a);
    main->GainSlide[1]->SetCode(b);
  }
  std::uint64_t RxSends() const { return Bench().rx4410Latches[0]; }
  std::uint64_t TqmSends() const { return Bench().tqm7731Latches; }

  testing::TempWorkDir work{"transmit"};
};

TEST_F(Transmitting, AClickSendsBothCodesOnceAndLeavesTheButtonsAsTheyWere) {
  struct Case {
    int device;
    bool receiveAfter;
  };
  for (const Case c : {Case{0, true}, Case{1, false}}) {
    main->DeviceOption[static_cast<std::size_t>(c.device)]->click();
    Codes(12, 30);
    QTest::mouseClick(main->Transmit, Qt::LeftButton);
    EXPECT_EQ(GainCode, (std::array<std::int16_t, 2>{12, 30}));
    if (c.device == 0) {
      EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{12, 30}));
      EXPECT_EQ(RxSends(), 1u);
    } else {
      EXPECT_EQ(Bench().tqm7731, (std::array<int, 2>{12, 30}));
      EXPECT_EQ(TqmSends(), 1u);
    }
    EXPECT_EQ(main->LastSent->text(), "Last Sent: 12, 30");
    EXPECT_TRUE(main->Transmit->isEnabled());
    EXPECT_EQ(main->Receive->isEnabled(), c.receiveAfter);
    EXPECT_EQ(QApplication::focusWidget(), main->Transmit);
  }
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(Transmitting, AutoTransmitSendsAtOnceWhenCheckedAndOnEveryAcceptedChange) {
  Codes(5, 7);
  main->AutoTransmit->setFocus();
  QTest::mouseClick(main->AutoTransmit, Qt::LeftButton, {}, QPoint(6, main->AutoTransmit->height() / 2));
  ASSERT_TRUE(main->AutoTransmit->isChecked());
  EXPECT_FALSE(main->Transmit->isEnabled());
  EXPECT_FALSE(main->Receive->isEnabled());
  EXPECT_EQ(RxSends(), 1u) << "checking the box sends both codes at once";
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{5, 7}));
  EXPECT_EQ(main->LastSent->text(), "Last Sent: 5, 7");
  EXPECT_EQ(QApplication::focusWidget(), main->AutoTransmit);

  // A scroll-bar step: one send. A typed plain code: one send.
  main->GainSlide[1]->setFocus();
  QTest::keyClick(main->GainSlide[1], Qt::Key_Up);
  EXPECT_EQ(RxSends(), 2u);
  EXPECT_EQ(Bench().rx4410[1], 8);
  main->GainText[0]->setFocus();
  main->GainText[0]->selectAll();
  QTest::keyClick(main->GainText[0], Qt::Key_9);
  EXPECT_EQ(RxSends(), 3u);
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{9, 8}));
  EXPECT_EQ(QApplication::focusWidget(), main->GainText[0]) << "the focus stays where the user works";
  // Not a number: nothing sent.
  QTest::keyClick(main->GainText[0], Qt::Key_X);
  EXPECT_EQ(RxSends(), 3u);
  QTest::keyClick(main->GainText[0], Qt::Key_Backspace);

  // Unchecking sends nothing and gives the buttons back.
  const auto before = RxSends();
  main->AutoTransmit->setChecked(false);
  EXPECT_EQ(RxSends(), before);
  EXPECT_EQ(main->LastSent->text(), "Last Sent:");
  EXPECT_TRUE(main->Transmit->isEnabled());
  EXPECT_TRUE(main->Receive->isEnabled());
}

TEST_F(Transmitting, AClampedEntrySendsTheBoundTwice) {
  Codes(5, 0);
  main->AutoTransmit->setChecked(true);
  const auto before = RxSends();
  main->GainText[0]->setFocus();
  main->GainText[0]->setText("50");
  EXPECT_EQ(RxSends() - before, 2u);
  EXPECT_EQ(Bench().rx4410[0], 42);
  EXPECT_EQ(main->LastSent->text(), "Last Sent: 42, 0");
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: Invalid Entry");
}

TEST_F(Transmitting, TwoAndAHalfSendsTwo) {
  Codes(2, 0);
  main->AutoTransmit->setChecked(true);
  const auto before = RxSends();
  main->GainText[0]->setText("2.5");
  EXPECT_EQ(RxSends() - before, 1u);
  EXPECT_EQ(Bench().rx4410[0], 2);
  EXPECT_EQ(GainCode[0], 2);
}

TEST_F(Transmitting, ReceiveShowsWhatTheChipHoldsAndChangesNothingElse) {
  BenchState s;
  s.rx4410 = {12, 30};
  sim->bench().SetState(s);
  Codes(3, 4);
  main->LastSent->setText("Last Sent: 3, 4");
  QTest::mouseClick(main->Receive, Qt::LeftButton);
  EXPECT_EQ(main->ReadText[0]->text(), "Read: 12");
  EXPECT_EQ(main->ReadText[1]->text(), "Read: 30");
  EXPECT_EQ(main->LastSent->text(), "Last Sent: 3, 4");
  EXPECT_EQ(main->GainText[0]->text(), "3");
  EXPECT_EQ(RxSends(), 0u);
  EXPECT_TRUE(main->Transmit->isEnabled());
}

TEST_F(Transmitting, ASendMeetingATextThatIsNotANumberIsRefused) {
  Codes(5, 6);
  QTest::mouseClick(main->Transmit, Qt::LeftButton);
  ASSERT_EQ(RxSends(), 1u);
  main->GainText[1]->setText("abc");
  GainCode = {5, 6};
  main->Transmit_Click();
  EXPECT_EQ(RxSends(), 1u) << "nothing reaches the port";
  EXPECT_EQ(GainCode, (std::array<std::int16_t, 2>{5, 6}));
  EXPECT_EQ(main->LastSent->text(), "Last Sent: 5, 6");
  EXPECT_TRUE(main->Transmit->isEnabled());
}

TEST_F(Transmitting, AFailingPortShowsTheAlertAndNothingAsSentOrRead) {
  for (long failAt : {-1L, 10L}) {
    Codes(5, 6);
    main->LastSent->setText("Last Sent: 1, 2");
    main->ReadText[0]->setText("Read: 9");
    auto log = testing::InstallRecordingPort();  // refuses to open, or fails from access 10 on
    log->failOpen = failAt < 0;
    log->failAtAccess = failAt;
    presenter->shown.clear();
    main->Transmit_Click();
    main->Receive_Click();
    ASSERT_EQ(presenter->shown.size(), 2u) << failAt;
    EXPECT_EQ(presenter->shown[0].title,
              failAt < 0 ? "Error: Port Not Available" : "Error: Port Access Failed");
    EXPECT_EQ(main->LastSent->text(), "Last Sent: 1, 2");
    EXPECT_EQ(main->ReadText[0]->text(), "Read: 9");
    EXPECT_TRUE(main->Transmit->isEnabled());
    EXPECT_TRUE(main->Receive->isEnabled());
  }
}

TEST_F(Transmitting, OptionsMenuReturnsToPortSelectionAndKeepsTheDevice) {
  main->DeviceOption[1]->click();
  Codes(9, 9);
  std::ofstream("TRVOutput.dat") << "x";  // in the test's working directory
  main->OptionsMenu->trigger();
  testing::Settle();
  EXPECT_EQ(forms::Main(), nullptr);
  StartupForm* startup = forms::Startup();
  ASSERT_NE(startup, nullptr);
  EXPECT_TRUE(startup->isVisible());
  EXPECT_TRUE(startup->LPT1->isChecked());
  EXPECT_EQ(DeviceName, "1");
  startup->PRN->click();
  startup->LPT1->click();
  QTest::mouseClick(startup->OK, Qt::LeftButton);
  testing::Settle();
  main = forms::Main();
  ASSERT_NE(main, nullptr);
  EXPECT_TRUE(main->DeviceOption[1]->isChecked());
  EXPECT_EQ(DeviceName, "TQM7731");
  EXPECT_EQ(PortAddress, 888);
  EXPECT_EQ(main->GainText[0]->text(), "0");
  EXPECT_EQ(forms::Startup(), nullptr);
  EXPECT_FALSE(std::ifstream("TRVOutput.dat").good());
}

TEST_F(Transmitting, TheAboutBoxDisablesTheWindowUntilItClosesEitherWay) {
  for (bool viaOk : {true, false}) {
    main->AboutMenu->trigger();
    AboutForm* about = forms::About();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_FALSE(main->isEnabled());
    EXPECT_EQ(about->VersionLabel->text(), QString("Version: ") + kVersion);
    EXPECT_NE(about->CopyrightLabel->text().indexOf("2007"), -1);
    const QString copyright = about->CopyrightLabel->text();
    QTest::mouseClick(about->ExtraLabel, Qt::LeftButton);
    EXPECT_EQ(about->CopyrightLabel->text(), copyright) << "a single click does nothing";
    QTest::mouseDClick(about->ExtraLabel, Qt::LeftButton);
    EXPECT_NE(about->CopyrightLabel->text(), copyright);
    EXPECT_NE(about->CopyrightLabel->text().indexOf("product team"), -1);
    if (viaOk) {
      QTest::mouseClick(about->OK, Qt::LeftButton);
    } else {
      about->close();  // the title bar's close button
    }
    testing::Settle();
    EXPECT_EQ(forms::About(), nullptr);
    EXPECT_TRUE(main->isEnabled()) << (viaOk ? "OK" : "close");
  }
  main->AboutMenu->trigger();
  EXPECT_NE(forms::About()->CopyrightLabel->text().indexOf("2007"), -1) << "each opening starts afresh";
}

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened.push_back(url); }
};

TEST_F(Transmitting, TheManualOpensFromTheWorkingDirectoryOrTheMissingFileIsNamed) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "open");
  main->UsersManualMenu->trigger();
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: User's Manual");
  EXPECT_EQ(presenter->shown[0].text, "Help file not found.  (UsersManual.PDF)  ");
  EXPECT_EQ(presenter->shown[0].icon, AlertIcon::Error);
  EXPECT_TRUE(catcher.opened.isEmpty());

  std::ofstream("UsersManual.PDF") << "%PDF-1.4\n";
  presenter->shown.clear();
  main->UsersManualMenu->trigger();
  EXPECT_TRUE(presenter->shown.empty());
  ASSERT_EQ(catcher.opened.size(), 1);
  EXPECT_EQ(catcher.opened[0].toLocalFile(), QDir::current().absoluteFilePath("UsersManual.PDF"));
}

// Where nothing opens PDF files (no opener on the PATH), the alert says so
// and where the manual is.
TEST_F(Transmitting, WithoutAViewerTheManualsPlaceIsNamed) {
  std::ofstream("UsersManual.PDF") << "%PDF-1.4\n";
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", QDir::currentPath().toLocal8Bit());
  main->UsersManualMenu->trigger();
  qputenv("PATH", path);
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: User's Manual");
  EXPECT_EQ(presenter->shown[0].text, "No viewer for PDF files was found.  The manual is " +
                                          QDir::current().absoluteFilePath("UsersManual.PDF").toStdString() +
                                          ".");
}

}  // namespace
}  // namespace tarvel

#include "test_transmit.moc"
