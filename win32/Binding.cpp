#include "win32/Binding.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/Startup.h"
#include "forms/AboutFormLogic.h"
#include "forms/MainFormLogic.h"
#include "forms/StartupFormLogic.h"
#include "win32/Windows.h"

namespace tarvel::win32 {

namespace {

using forms::FormId;

// A window and its logic, made and forgotten together.
class Bound {
 public:
  virtual ~Bound() = default;
  virtual Form& window() = 0;
};

class BoundStartup : public Bound {
 public:
  explicit BoundStartup(forms::WindowHost& host) : logic_({&w_, &w_.LPT1, &w_.LPT2, &w_.PRN, &w_.OK}, host) {
    w_.LPT1.onClick = [this] { logic_.LPT1_Click(); };
    w_.LPT2.onClick = [this] { logic_.LPT2_Click(); };
    w_.PRN.onClick = [this] { logic_.PRN_Click(); };
    w_.OK.onClick = [this] { logic_.OK_Click(); };
    w_.onClose = [&host] { host.Unload(FormId::Startup); };
  }
  Form& window() override { return w_; }
  forms::StartupFormLogic& logic() { return logic_; }

 private:
  StartupWindow w_;
  forms::StartupFormLogic logic_;
};

forms::MainFormControls MainControls(MainWindow& w) {
  forms::MainFormControls c;
  c.Form = &w;
  for (std::size_t i = 0; i < 2; ++i) {
    c.FrameLabel[i] = &w.FrameLabel[i];
    c.GainText[i] = w.GainText[i];
    c.GainSlide[i] = w.GainSlide[i];
    c.ReadText[i] = w.ReadText[i];
    c.DeviceOption[i] = w.DeviceOption[i];
  }
  c.AutoTransmit = &w.AutoTransmit;
  c.Transmit = &w.Transmit;
  c.Receive = &w.Receive;
  c.LastSent = &w.LastSent;
  return c;
}

class BoundMain : public Bound {
 public:
  explicit BoundMain(forms::WindowHost& host) : logic_(MainControls(w_), host) {
    for (std::size_t i = 0; i < 2; ++i) {
      const auto index = static_cast<std::int16_t>(i);
      w_.GainText[i]->onChange = [this, index] { logic_.GainText_Change(index); };
      w_.GainText[i]->onLeave = [this, index] { logic_.GainText_LostFocus(index); };
      w_.GainSlide[i]->onChange = [this, index] { logic_.GainSlide_Change(index); };
      w_.GainSlide[i]->onScroll = [this, index] { logic_.GainSlide_Scroll(index); };
      w_.DeviceOption[i]->onClick = [this, index] { logic_.DeviceOption_Click(index); };
    }
    w_.AutoTransmit.onClick = [this] { logic_.AutoTransmit_Click(); };
    w_.Transmit.onClick = [this] { logic_.Transmit_Click(); };
    w_.Receive.onClick = [this] { logic_.Receive_Click(); };
    w_.onMenu = [this](MainWindow::MenuItem item) {
      switch (item) {
        case MainWindow::ExitMenu: logic_.ExitMenu_Click(); break;
        case MainWindow::OptionsMenu: logic_.OptionsMenu_Click(); break;
        case MainWindow::UsersManualMenu: logic_.UsersManualMenu_Click(); break;
        case MainWindow::AboutMenu: logic_.AboutMenu_Click(); break;
      }
    };
    w_.onClose = [this, &host] {
      if (!logic_.Form_QueryUnload()) host.Unload(FormId::Main);
    };
  }
  Form& window() override { return w_; }
  forms::MainFormLogic& logic() { return logic_; }

 private:
  MainWindow w_;
  forms::MainFormLogic logic_;
};

class BoundAbout : public Bound {
 public:
  explicit BoundAbout(forms::WindowHost& host)
      : logic_({&w_, &w_.VersionLabel, &w_.CopyrightLabel, &w_.OK}, host) {
    w_.OK.onClick = [this] { logic_.OK_Click(); };
    w_.ExtraLabel.onDoubleClick = [this] { logic_.ExtraLabel_DblClick(); };
    w_.onClose = [&host] { host.Unload(FormId::About); };
  }
  Form& window() override { return w_; }
  forms::AboutFormLogic& logic() { return logic_; }

 private:
  AboutWindow w_;
  forms::AboutFormLogic logic_;
};

class Host : public forms::WindowHost {
 public:
  forms::Window& Load(FormId form) override {
    switch (form) {
      case FormId::Startup:
        if (!startup_) {
          startup_ = std::make_unique<BoundStartup>(*this);
          startup_->logic().Form_Load();
        }
        return startup_->window();
      case FormId::Main:
        if (!main_) {
          main_ = std::make_unique<BoundMain>(*this);
          main_->logic().Form_Load();
        }
        return main_->window();
      case FormId::About:
        if (!about_) {
          about_ = std::make_unique<BoundAbout>(*this);
          if (main_) about_->window().CentreOver(main_->window());
          about_->logic().Form_Load();
        }
        return about_->window();
    }
    return Load(FormId::Startup);
  }

  forms::Window* Loaded(FormId form) override {
    Bound* bound = form == FormId::Startup ? static_cast<Bound*>(startup_.get())
                   : form == FormId::Main  ? static_cast<Bound*>(main_.get())
                                           : static_cast<Bound*>(about_.get());
    return bound != nullptr ? &bound->window() : nullptr;
  }

  void Unload(FormId form) override {
    switch (form) {
      case FormId::Startup: Forget(startup_); break;
      case FormId::Main: Forget(main_); break;
      case FormId::About:
        if (about_) about_->logic().Form_Unload();
        Forget(about_);
        break;
    }
  }

  void EndProgram() override {
    Unload(FormId::About);
    Unload(FormId::Main);
    Unload(FormId::Startup);
  }

  void RunStartupSteps() override { tarvel::RunStartupSteps(); }

  bool OpenDocument(const std::string& path) override {
    // The shell's "open" verb: the application registered for the file.
    HWND owner = main_ ? main_->window().hwnd() : nullptr;
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(owner, L"open", Wide(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
  }

  void Collect() {
    if (unloaded_.empty()) return;
    unloaded_.clear();
    if (!startup_ && !main_ && !about_) ::PostQuitMessage(0);
  }

 private:
  // The window is hidden and forgotten at once, and destroyed when no
  // handler of it runs any more (its own handler may be unloading it).
  template <typename B>
  void Forget(std::unique_ptr<B>& slot) {
    if (!slot) return;
    slot->window().Hide();
    unloaded_.push_back(std::move(slot));
  }

  std::unique_ptr<BoundStartup> startup_;
  std::unique_ptr<BoundMain> main_;
  std::unique_ptr<BoundAbout> about_;
  std::vector<std::unique_ptr<Bound>> unloaded_;
};

Host& TheHost() {
  static Host host;
  return host;
}

}  // namespace

void OpenStartupWindow() { TheHost().Load(FormId::Startup).Show(); }

void UnloadAllWindows() { TheHost().EndProgram(); }

void CollectUnloadedWindows() { TheHost().Collect(); }

}  // namespace tarvel::win32
