#include "ui/Forms.h"

#include <QApplication>
#include <QFont>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "device/PortIO.h"
#include "forms/Fonts.h"

#include "ui/AboutForm.h"
#include "ui/MainForm.h"
#include "ui/StartupForm.h"

// The embedded artwork lives in a static library, so its resources are
// registered by hand (and outside any namespace, as Qt requires).
static void InitTarvelResources() { Q_INIT_RESOURCE(tarvel_resources); }

namespace tarvel::forms {

void InitResources() {
  static const bool done = (InitTarvelResources(), true);
  (void)done;
}

namespace {
QPointer<StartupForm> g_startup;
QPointer<MainForm> g_main;
QPointer<AboutForm> g_about;

template <typename Form>
Form* LoadOnce(QPointer<Form>& slot) {
  if (slot.isNull()) {
    slot = new Form();
    slot->setAttribute(Qt::WA_DeleteOnClose);
    slot->Form_Load();
  }
  return slot.data();
}

template <typename Form>
void UnloadOnce(QPointer<Form>& slot) {
  if (slot.isNull()) return;
  Form* form = slot.data();
  slot.clear();  // forgotten at once, deleted when its close has run
  form->close();
}
}  // namespace

StartupForm* Startup() { return g_startup.data(); }
MainForm* Main() { return g_main.data(); }
AboutForm* About() { return g_about.data(); }

StartupForm* LoadStartup() { return LoadOnce(g_startup); }
MainForm* LoadMain() { return LoadOnce(g_main); }
AboutForm* LoadAbout() { return LoadOnce(g_about); }

void UnloadStartup() { UnloadOnce(g_startup); }
void UnloadMain() { UnloadOnce(g_main); }
void UnloadAbout() { UnloadOnce(g_about); }

void InstallFonts() {
  auto text = [](std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
  };
  for (const FontSubstitution& s : kFontSubstitutions) {
    QStringList faces;
    for (std::string_view face : s.faces) {
      if (!face.empty()) faces << text(face);
    }
    QFont::insertSubstitutions(text(s.family), faces);
  }
  QFont font(text(kDefaultFontFamily));
  font.setPointSizeF(kDefaultFontPoints);
  QApplication::setFont(font);
}

QIcon ProgramIcon() {
  static const QIcon icon = [] {
    InitResources();
    QIcon i;
    for (int size : {16, 32, 48, 256}) i.addFile(QStringLiteral(":/tarvel/icon-%1.png").arg(size));
    return i;
  }();
  return icon;
}

void FitToScreen(QWidget* window, QSize wanted) {
  const QScreen* screen = window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    window->resize(wanted);
    return;
  }
  const QRect area = screen->availableGeometry();
  // Until the window manager has framed the window, its frame is taken to
  // be a title bar and thin borders.
  const QSize frame(16, 40);
  const QSize room = (area.size() - frame).expandedTo(QSize(1, 1));
  window->resize(wanted.boundedTo(room).expandedTo(window->minimumSizeHint().boundedTo(room)));
  const QSize outer = window->size() + frame;
  const int x = std::clamp(window->x(), area.left(), std::max(area.left(), area.right() + 1 - outer.width()));
  const int y = std::clamp(window->y(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height()));
  window->move(x, y);
}

QString PortText() {
  // A link sharing the process's port makes its backend, as a run's own link
  // does, when no command has needed it yet; nothing is opened.
  const auto link = DeviceLink::SharingPortOf(ProcessLink());
  std::string text = PortChoiceName(PortAddress);
  if (const PortBackend* backend = link->backend()) {
    // The simulated bench calls itself "sim (in memory)" or "sim:PATH".
    std::string what = backend->Describe(PortAddress);
    if (what.rfind("sim (", 0) == 0) what = "simulated bench";
    if (what.rfind("sim:", 0) == 0) what = "simulated bench " + what.substr(4);
    text += ", " + what;
  }
  return QString::fromStdString(text);
}

}  // namespace tarvel::forms
