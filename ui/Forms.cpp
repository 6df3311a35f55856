#include "ui/Forms.h"

#include <QApplication>
#include <QFont>
#include <QPointer>

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
  QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Arial", "DejaVu Sans"});
  QFont::insertSubstitutions("MS Serif", {"Liberation Serif", "Times New Roman", "DejaVu Serif"});
  QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Times New Roman", {"Liberation Serif", "DejaVu Serif"});
  QFont::insertSubstitutions("Courier", {"Liberation Mono", "Courier New", "DejaVu Sans Mono"});
  QFont font("MS Sans Serif");
  font.setPointSizeF(8.25);
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

}  // namespace tarvel::forms
