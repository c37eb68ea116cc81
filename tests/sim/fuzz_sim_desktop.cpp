// Fuzzes the simulated desktop: the input is a desktop file's text, optionally followed by
// "\n#ops\n" and bytes that drive a run of platform operations and merge patches against it.
// Nothing may crash, hang or leak, whatever the desktop and whatever the program asks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/json_text.h"
#include "platform/sim/sim_desktop.h"

namespace {

using caretsafe::Element;
using caretsafe::KeyEvent;
using caretsafe::sim::SimDesktop;

constexpr std::string_view kSeparator = "\n#ops\n";
constexpr std::string_view kAttributes[] = {"AXFocusedUIElement",  "AXValue", "AXSelectedText",
                                            "AXSelectedTextRange", "AXRole",  "AXEnabled"};

class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  bool empty() const { return pos_ >= data_.size(); }
  std::uint8_t next() { return empty() ? 0 : static_cast<std::uint8_t>(data_[pos_++]); }
  std::string_view take(std::size_t n) {
    const std::string_view part = data_.substr(pos_, n);
    pos_ += part.size();
    return part;
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(kSeparator);
  const std::string_view desktopText = input.substr(0, split);
  Bytes ops(split == std::string_view::npos ? std::string_view()
                                            : input.substr(split + kSeparator.size()));

  const auto desktop = caretsafe::sim::parseJsonText(desktopText);
  SimDesktop sim(desktop ? *desktop : nlohmann::json());
  sim.setWait([](double) {});
  {
    std::vector<Element> elements;
    std::vector<KeyEvent> events;
    const auto element = [&](std::uint8_t pick) {
      return elements.empty() ? Element() : elements[pick % elements.size()];
    };
    while (!ops.empty()) {
      const std::uint8_t op = ops.next();
      const std::uint8_t arg = ops.next();
      const std::string_view attribute = kAttributes[arg % std::size(kAttributes)];
      const auto pid = static_cast<caretsafe::Pid>(arg % 4 == 0 ? 501 : arg);
      switch (op % 12) {
        case 0:
          elements.push_back(sim.createApplication(pid));
          break;
        case 1: {
          caretsafe::AttributeRead read = sim.copyAttributeValue(element(arg), attribute);
          if (auto* found = std::get_if<Element>(&read.value)) elements.push_back(*found);
          break;
        }
        case 2:
          sim.isAttributeSettable(element(arg), attribute);
          break;
        case 3: {
          const std::string_view raw = ops.take(ops.next() % 16 * 2);
          std::u16string text;
          for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            text.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(raw[i]) << 8 |
                                                 static_cast<std::uint8_t>(raw[i + 1])));
          }
          sim.setAttributeValue(element(arg), attribute, text);
          break;
        }
        case 4:
          sim.setMessagingTimeout(element(arg), static_cast<float>(arg) / 10.0f);
          break;
        case 5:
          sim.frontmostApplication();
          sim.runningApplication(pid);
          sim.isProcessTrusted();
          sim.modifierFlags();
          sim.now();
          sim.ownPid();
          break;
        case 6:
          events.push_back(sim.createKeyboardEvent(arg, arg % 2 == 0));
          break;
        case 7:
          if (!events.empty()) {
            KeyEvent& event = events[arg % events.size()];
            sim.setUnicodeString(event, u"\xD800x");
            sim.setFlags(event, arg);
            sim.postToPid(pid, event);
          }
          break;
        case 8: {
          const auto patch = caretsafe::sim::parseJsonText(ops.take(ops.next()));
          if (patch) sim.patch(*patch);
          break;
        }
        case 9:
          if (!elements.empty()) elements.erase(elements.begin() + arg % elements.size());
          break;
        case 10:
          sim.elementsEqual(element(arg), element(static_cast<std::uint8_t>(arg + 1)));
          break;
        default:
          if (!events.empty()) events.pop_back();
          break;
      }
    }
  }
  if (sim.liveElementReferences() != 0 || sim.liveKeyEvents() != 0) __builtin_trap();
  return 0;
}
