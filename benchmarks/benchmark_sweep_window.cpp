// The Sweep window's responsiveness during fast sweeps, offscreen on the
// in-memory simulated bench (Google Benchmark; the counters are in ms):
//
//   BM_PlotRedraw/N   one redraw of the plot of N steps into an 800 x 400
//                     picture. Target: under 50 ms at 100,000 steps.
//   BM_RunEnd/trace   a 10,019-step run at 0.1 ms (the RX4410 ramp 0..42,
//                     233 times), with the Port Trace window open when trace
//                     is 1. end_lag_ms: from the run's last step to the
//                     window showing its end (target: under 100 ms).
//                     gui_stall_ms: the longest the window's event loop was
//                     kept from a 5 ms timer, which is how long a menu would
//                     wait to open (target: under 50 ms); gui_busy_ms: the
//                     window thread's own processor time in that longest
//                     gap (on a loaded machine the rest is other processes'
//                     turn). late_steps: steps
//                     the run itself started late (the dwell accuracy the
//                     window must not spoil).
//   BM_StopShown      Stop in an endless run at 0.1 ms, until the window
//                     shows the run stopped (target: under 200 ms).
//   BM_IdleStall      the same timer for a second with no run: what the
//                     machine itself costs the event loop, for comparison.
//
// build/ci/bin/benchmark_sweep_window --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>

#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "device/PortIO.h"
#include "ports/SimPortBackend.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/PortTraceWindow.h"
#include "ui/SweepForm.h"

namespace tarvel {
namespace {

double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void BM_PlotRedraw(benchmark::State& state) {
  std::vector<StepRecord> rows(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].step = i + 1;
    rows[i].startNs = static_cast<std::int64_t>(i) * 100'000;
    rows[i].code1 = static_cast<std::int16_t>(i % 43);
    rows[i].code2 = static_cast<std::int16_t>(42 - i % 43);
  }
  SweepPlot plot;
  plot.resize(800, 400);
  plot.SetData(&rows, rows.back().startNs + 100'000, 42, false);
  QImage image(plot.size(), QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    plot.render(&image);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_PlotRedraw)->Arg(10'019)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

std::int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Runs the event loop until `done`, measuring the longest gap between the
// ticks of a 5 ms timer beyond its interval, and the most processor time
// the window's thread spent between two ticks (its own work, without the
// time other processes of a busy machine took from it).
struct Stall {
  double wallMs = 0, busyMs = 0;
};
Stall RunLoopUntil(const std::function<bool()>& done) {
  QTimer tick;
  tick.setInterval(5);
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worst = 0;
  std::int64_t lastCpu = ThreadCpuNs(), busy = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    const std::int64_t cpu = ThreadCpuNs();
    worst = std::max(worst, now - last - 5'000'000);
    busy = std::max(busy, cpu - lastCpu);
    last = now, lastCpu = cpu;
  });
  tick.start();
  while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return {static_cast<double>(worst) / 1e6, static_cast<double>(busy) / 1e6};
}

MainForm* OpenMain() {
  DeviceName.clear();  // the RX4410
  MainForm* main = forms::LoadMain();
  main->show();
  return main;
}

void CloseMain() {
  forms::UnloadMain();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QApplication::processEvents();
}

SweepForm* OpenSweep(MainForm* main) {
  main->SweepMenu->trigger();
  SweepForm* sweep = main->Sweep();
  sweep->FromBox->setValue(0);
  sweep->ToBox->setValue(42);
  sweep->StepBox->setValue(1);
  sweep->DwellBox->setText("0.1");
  return sweep;
}

void BM_RunEnd(benchmark::State& state) {
  MainForm* main = OpenMain();
  if (state.range(0) != 0) main->findChild<QAction*>("PortTraceMenu")->trigger();
  SweepForm* sweep = OpenSweep(main);
  sweep->RepeatBox->setValue(233);
  double lag = 0, late = 0;
  Stall stall;
  for (auto _ : state) {
    std::chrono::steady_clock::time_point shown;
    const auto connection =
        QObject::connect(sweep, &SweepForm::finished, [&] { shown = std::chrono::steady_clock::now(); });
    const auto start = std::chrono::steady_clock::now();
    sweep->Start_Click();
    const Stall s = RunLoopUntil([&] { return !sweep->running(); });
    stall = {std::max(stall.wallMs, s.wallMs), std::max(stall.busyMs, s.busyMs)};
    QObject::disconnect(connection);
    const SweepResult& r = sweep->lastResult();
    // The run's clock starts after the click, so the lag is if anything overstated.
    const auto lastStep = start + std::chrono::nanoseconds(r.last ? r.last->startNs + 100'000 : 0);
    lag = std::max(lag, Ms(shown - lastStep));
    late = std::max(late, static_cast<double>(r.late));
    state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
  }
  state.counters["end_lag_ms"] = lag;
  state.counters["gui_stall_ms"] = stall.wallMs;
  state.counters["gui_busy_ms"] = stall.busyMs;
  state.counters["late_steps"] = late;
  CloseMain();
}
BENCHMARK(BM_RunEnd)->Arg(0)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StopShown(benchmark::State& state) {
  MainForm* main = OpenMain();
  SweepForm* sweep = OpenSweep(main);
  sweep->RepeatBox->setValue(0);
  double worst = 0;
  Stall stall;
  for (auto _ : state) {
    sweep->Start_Click();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    const Stall s = RunLoopUntil([&] { return std::chrono::steady_clock::now() > until; });
    stall = {std::max(stall.wallMs, s.wallMs), std::max(stall.busyMs, s.busyMs)};
    const auto pressed = std::chrono::steady_clock::now();
    sweep->StopButton->click();
    RunLoopUntil([&] { return !sweep->running(); });
    const double ms = Ms(std::chrono::steady_clock::now() - pressed);
    worst = std::max(worst, ms);
    state.SetIterationTime(ms / 1e3);
  }
  state.counters["stop_shown_ms"] = worst;
  state.counters["gui_stall_ms"] = stall.wallMs;
  state.counters["gui_busy_ms"] = stall.busyMs;
  CloseMain();
}
void BM_IdleStall(benchmark::State& state) {
  Stall stall;
  for (auto _ : state) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    stall = RunLoopUntil([&] { return std::chrono::steady_clock::now() > until; });
  }
  state.counters["gui_stall_ms"] = stall.wallMs;
  state.counters["gui_busy_ms"] = stall.busyMs;
}
BENCHMARK(BM_IdleStall)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_StopShown)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  tarvel::forms::InitResources();
  tarvel::forms::InstallFonts();
  tarvel::SetPortBackend(std::make_unique<tarvel::SimPortBackend>());
  tarvel::PortAddress = tarvel::kLpt1Address;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tarvel::SetPortBackend(nullptr);
  return 0;
}
