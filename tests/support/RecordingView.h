// A FlashView that keeps every call in order, for tests of the core and of
// the window's wiring. An optional hook runs at each pump, so a test can act
// the way a click handled inside the event loop would.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/UpdateWording.h"

namespace korvalen {

class RecordingView : public WordingView {
 public:
  enum class Target {
    kProcessInfo,
    kProcessAddress,
    kStatusRegister,
    kUpdateStatus,
    kUpdateStyle,
    kUpdateNotice,
    kPump,
  };

  struct Event {
    Target target = Target::kPump;
    std::string text;  // empty for style changes and pumps
    StatusColour colour = StatusColour::kWindowText;
    StatusSize size = StatusSize::kUnchanged;
  };

  void ShowProcessInfo(std::string_view text) override { Add(Target::kProcessInfo, text); }
  void ShowProcessAddress(std::string_view text) override { Add(Target::kProcessAddress, text); }
  void ShowStatusRegister(std::string_view text) override { Add(Target::kStatusRegister, text); }
  void ShowUpdateStatus(std::string_view text) override { Add(Target::kUpdateStatus, text); }
  void SetUpdateStatusStyle(StatusColour colour, StatusSize size) override {
    events_.push_back(Event{Target::kUpdateStyle, {}, colour, size});
    colour_ = colour;
    if (size != StatusSize::kUnchanged) size_ = size;
  }
  void ShowUpdateNotice(std::string_view text) override { Add(Target::kUpdateNotice, text); }
  void NoteProgress(ProgressStep step, uint64_t done, uint64_t total) override {
    if (on_progress) on_progress(step, done, total);
  }
  void PumpMessages() override {
    events_.push_back(Event{Target::kPump, {}, {}, {}});
    ++pumps_;
    if (on_pump) on_pump(pumps_);
  }

  // Called with the running count of pumps, after the pump is recorded.
  std::function<void(size_t pump_count)> on_pump;
  // Each progress signal of the core, as it comes.
  std::function<void(ProgressStep step, uint64_t done, uint64_t total)> on_progress;

  const std::vector<Event>& Events() const { return events_; }
  void Clear() { events_.clear(); }

  // Every text shown on one label, in order.
  std::vector<std::string> Texts(Target target) const {
    std::vector<std::string> texts;
    for (const Event& event : events_)
      if (event.target == target) texts.push_back(event.text);
    return texts;
  }
  // The label's text as it stands now (empty if never set).
  std::string Last(Target target) const {
    for (auto it = events_.rbegin(); it != events_.rend(); ++it)
      if (it->target == target) return it->text;
    return {};
  }
  // How often a label showed exactly this text.
  size_t Count(Target target, std::string_view text) const {
    size_t count = 0;
    for (const Event& event : events_)
      if (event.target == target && event.text == text) ++count;
    return count;
  }

  StatusColour colour() const { return colour_; }
  StatusSize size() const { return size_; }
  size_t pumps() const { return pumps_; }

 private:
  void Add(Target target, std::string_view text) {
    events_.push_back(Event{target, std::string(text), {}, {}});
  }

  std::vector<Event> events_;
  StatusColour colour_ = StatusColour::kWindowText;
  StatusSize size_ = StatusSize::kUnchanged;
  size_t pumps_ = 0;
};

}  // namespace korvalen
