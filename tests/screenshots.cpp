// Saves a picture of every window, for looking at them:
//   tarvel_screenshots OUTDIR
// Runs on any Qt platform (offscreen included); no port is touched.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>
#include <fstream>

#include "app/ProcessPorts.h"
#include "core/MainModule.h"
#include "device/PortIO.h"
#include "ports/SimPortBackend.h"
#include "ui/AboutForm.h"
#include "ui/CalibrationWindow.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/PortTraceWindow.h"
#include "ui/StartupForm.h"
#include "ui/SweepForm.h"

namespace {
void Save(QWidget* w, const QString& dir, const char* name) {
  w->show();
  QApplication::processEvents();
  const QString path = QDir(dir).filePath(QString(name) + ".png");
  if (!w->grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarvel_screenshots OUTDIR\n");
    return 2;
  }
  using namespace tarvel;
  forms::InitResources();
  forms::InstallFonts();
  UseProcessPorts();  // the Port Trace window shows what the process's port did
  SetPortBackend(std::make_unique<SimPortBackend>());
  const QString dir = QDir(argv[1]).absolutePath();
  QDir().mkpath(dir);

  Save(forms::LoadStartup(), dir, "startup");
  forms::UnloadStartup();

  MainForm* main = forms::LoadMain();
  Save(main, dir, "main-rx4410");
  main->GainText[0]->setText("42");
  main->GainText[1]->setText("17");
  main->Transmit_Click();
  main->Receive_Click();
  Save(main, dir, "main-rx4410-sent");
  main->findChild<QAction*>("PortTraceMenu")->trigger();
  PortTraceWindow* trace = ShownPortTrace();
  trace->Refresh();
  trace->view()->Select(0);
  Save(trace, dir, "port-trace");
  trace->close();
  main->DeviceOption[1]->setChecked(true);
  main->Transmit_Click();
  Save(main, dir, "main-tqm7731");
  main->AutoTransmit->setChecked(true);
  Save(main, dir, "main-tqm7731-auto");

  // The Sweep window after a verified up-and-down ramp on the RX4410.
  main->AutoTransmit->setChecked(false);
  main->DeviceOption[0]->setChecked(true);
  main->SweepMenu->trigger();
  SweepForm* sweep = main->Sweep();
  sweep->FromBox->setValue(0), sweep->ToBox->setValue(42), sweep->StepBox->setValue(3);
  sweep->DwellBox->setText("20"), sweep->RepeatBox->setValue(2), sweep->VerifyBox->setChecked(true);
  sweep->StartButton->click();
  QElapsedTimer waited;
  waited.start();
  while (sweep->running() && waited.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  Save(sweep, dir, "sweep");
  sweep->close();

  // The Calibration window with a board's table, Chan 1 set to -12 dB.
  // The table is read from a folder of its own, by the name it shows.
  QTemporaryDir tables;
  QDir::setCurrent(tables.path());
  {
    std::ofstream out("SN0042.csv");
    out << "# tarvel-cal 1\n# device=RX4410\n# board=SN0042\n# "
           "date=2026-12-01\nchannel,code,freq_hz,gain_db\n";
    for (int code = 0; code <= 42; code += 6) {
      for (const double hz : {1e9, 2e9}) {
        const double loss = hz > 1.5e9 ? 1.5 : 0;
        out << "1," << code << "," << hz << "," << (code * 0.75 - 30 - loss) << "\n";
        out << "2," << code << "," << hz << "," << (code * 0.7 - 28.5 - loss * 1.2) << "\n";
      }
    }
  }
  main->findChild<QAction*>("CalibrationMenu")->trigger();
  CalibrationWindow* cal = ShownCalibration();
  cal->LoadTable("SN0042.csv");
  cal->FrequencyBox->setText("1500000000");
  cal->GainBox[0]->setText("-12");
  cal->SetGain(0);
  Save(cal, dir, "calibration");
  // The Sweep window takes its ramp in dB from the table.
  main->SweepMenu->trigger();
  Save(main->Sweep(), dir, "sweep-db");
  main->Sweep()->close();
  cal->close();

  main->DeviceOption_Click(2);
  Save(main, dir, "main-no-device");

  AboutForm* about = forms::LoadAbout();
  Save(about, dir, "about");
  return 0;
}
