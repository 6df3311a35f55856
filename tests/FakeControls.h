// A fake of the controls the windows' logic works with (forms/Controls.h):
// each control keeps its state in memory, keeps the toolkit's three rules
// (a write notifies at once and nested, only on a real change; a leave only
// when the test says the focus moved), and writes what the program does into
// one trace, so a test reads the nested road of one event as text:
//
//   GainText_Change(0)[ GainSlide(0):=30 GainSlide_Change(0)[ GainText(0):=30 ] sent(30,0) ]
//
// "Name(i)[ ... ]" is a handler and what ran inside it, "Control:=value" a
// write by the program (also one that changes nothing), "alert(text)" an
// alert, "focus(Control)" a focus the program gave.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "forms/Controls.h"

namespace tarvel::testing {

struct FormTrace {
  std::string text;
  void Add(const std::string& item) {
    if (!text.empty()) text += ' ';
    text += item;
  }
  // A notification's handler, bracketed in the trace.
  std::function<void()> Handler(const std::string& name, std::function<void()> run) {
    return [this, name, run = std::move(run)] {
      Add(name + "[");
      run();
      Add("]");
    };
  }
};

class FakeControl {
 public:
  FakeControl(std::string name, FormTrace& trace) : name_(std::move(name)), trace_(trace) {}
  bool enabled = true;

 protected:
  void Wrote(const std::string& value) const { trace_.Add(name_ + ":=" + value); }
  void Focused() const { trace_.Add("focus(" + name_ + ")"); }
  std::string name_;
  FormTrace& trace_;
};

class FakeTextBox final : public forms::TextBox, public FakeControl {
 public:
  using FakeControl::FakeControl;
  std::function<void()> onChange;
  std::string Text() const override { return text_; }
  void SetText(const std::string& text) override {
    Wrote(text);
    Put(text);
  }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
  void SetFocus() override { Focused(); }
  // The user's edit: the whole text as it stands after the keystroke.
  void Type(const std::string& text) { Put(text); }

 private:
  void Put(const std::string& text) {
    if (text == text_) return;
    text_ = text;
    if (onChange) onChange();
  }
  std::string text_;
};

class FakeScrollBar final : public forms::ScrollBar, public FakeControl {
 public:
  using FakeControl::FakeControl;
  std::function<void()> onChange, onScroll;
  int Value() const override { return value_; }
  void SetValue(int value) override {
    Wrote(std::to_string(value));
    Put(value, onChange);
  }
  int Min() const override { return min_; }
  int Max() const override { return max_; }
  void SetRange(int min, int max) override {
    min_ = min;
    max_ = max;
    Put(value_, onChange);  // a position outside the new range moves, and says so
  }
  int SmallChange() const override { return small_; }
  int LargeChange() const override { return large_; }
  void SetSmallChange(int step) override { small_ = step; }
  void SetLargeChange(int step) override { large_ = step; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
  // The user's step (arrow, page, key) and thumb drag.
  void Move(int value) { Put(value, onChange); }
  void Drag(int value) { Put(value, onScroll); }

 private:
  void Put(int value, const std::function<void()>& notify) {
    const int low = std::min(min_, max_), high = std::max(min_, max_);
    value = std::clamp(value, low, high);
    if (value == value_) return;
    value_ = value;
    if (notify) notify();
  }
  int value_ = 0, min_ = 0, max_ = 0, small_ = 1, large_ = 1;
};

// Option buttons of one frame share a group: selecting one clears the rest.
class FakeOptionButton final : public forms::OptionButton, public FakeControl {
 public:
  FakeOptionButton(std::string name, FormTrace& trace, std::vector<FakeOptionButton*>& group)
      : FakeControl(std::move(name), trace), group_(group) {
    group_.push_back(this);
  }
  std::function<void()> onClick;
  bool Value() const override { return value_; }
  void SetValue(bool selected) override {
    Wrote(selected ? "1" : "0");
    if (!selected) {
      value_ = false;
      return;
    }
    Click();
  }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
  // The user's click, and the program's selection.
  void Click() {
    if (value_) return;
    for (FakeOptionButton* other : group_) other->value_ = false;
    value_ = true;
    if (onClick) onClick();
  }

 private:
  std::vector<FakeOptionButton*>& group_;
  bool value_ = false;
};

class FakeCheckBox final : public forms::CheckBox, public FakeControl {
 public:
  using FakeControl::FakeControl;
  std::function<void()> onClick;
  bool Value() const override { return value_; }
  void SetValue(bool checked) override {
    Wrote(checked ? "1" : "0");
    Put(checked);
  }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
  void SetFocus() override { Focused(); }
  void Click() { Put(!value_); }

 private:
  void Put(bool checked) {
    if (checked == value_) return;
    value_ = checked;
    if (onClick) onClick();
  }
  bool value_ = false;
};

class FakeLabel final : public forms::Label, public FakeControl {
 public:
  using FakeControl::FakeControl;
  bool traced = false;  // captions written into the trace
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& caption) override {
    if (traced) Wrote(caption);
    caption_ = caption;
  }

 private:
  std::string caption_;
};

class FakeCommandButton final : public forms::CommandButton, public FakeControl {
 public:
  using FakeControl::FakeControl;
  std::function<void()> onClick;
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override { enabled = on; }
  void SetFocus() override { Focused(); }
  void Click() {
    if (enabled && onClick) onClick();
  }
};

class FakeWindow final : public forms::Window, public FakeControl {
 public:
  using FakeControl::FakeControl;
  bool shown = false;
  std::string caption;
  void Show() override { shown = true; }
  void Hide() override { shown = false; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool on) override {
    Wrote(on ? "enabled" : "disabled");
    enabled = on;
  }
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& text) override { caption = text; }
};

// The windows as a whole: loading runs `load[form]` (the test's Form_Load),
// and the calls go into the trace.
class FakeHost final : public forms::WindowHost {
 public:
  explicit FakeHost(FormTrace& trace) : trace_(trace) {}
  std::function<void(forms::FormId)> load, unload;
  std::vector<std::string> documents;
  bool opens = true;
  bool ended = false;

  forms::Window& Load(forms::FormId form) override {
    Slot& slot = slots_[Index(form)];
    if (!slot.loaded) {
      trace_.Add(std::string("load ") + kNames[Index(form)]);
      slot.loaded = true;
      slot.window.enabled = true;
      if (load) load(form);
    }
    return slot.window;
  }
  forms::Window* Loaded(forms::FormId form) override {
    Slot& slot = slots_[Index(form)];
    return slot.loaded ? &slot.window : nullptr;
  }
  void Unload(forms::FormId form) override {
    Slot& slot = slots_[Index(form)];
    if (!slot.loaded) return;
    trace_.Add(std::string("unload ") + kNames[Index(form)]);
    slot.loaded = false;
    slot.window.shown = false;
    if (unload) unload(form);
  }
  void EndProgram() override { ended = true; }
  void RunStartupSteps() override { trace_.Add("startup steps"); }
  bool OpenDocument(const std::string& path) override {
    documents.push_back(path);
    return opens;
  }
  FakeWindow& WindowOf(forms::FormId form) { return slots_[Index(form)].window; }

 private:
  static constexpr const char* kNames[] = {"Startup", "Main", "About"};
  static std::size_t Index(forms::FormId form) { return static_cast<std::size_t>(form); }
  struct Slot {
    explicit Slot(FormTrace& trace, const char* name) : window(name, trace) {}
    bool loaded = false;
    FakeWindow window;
  };
  FormTrace& trace_;
  Slot slots_[3] = {Slot(trace_, "Startup"), Slot(trace_, "Main"), Slot(trace_, "About")};
};

}  // namespace tarvel::testing
