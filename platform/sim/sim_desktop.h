// The simulated desktop: a `Platform` over a desktop described in JSON.
//
// `caretsafe-sim` runs the whole program on it, with the desktop in a file that a harness
// replaces between requests and a journal of every platform operation appended to another
// file; our tests hold a desktop in memory and read the journal from it. What the desktop
// file may say and what the journal shows is documented in docs/simulated-desktop.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/sim/desktop_model.h"

namespace caretsafe::sim {

class SimDesktop final : public Platform {
 public:
  // A desktop held in memory from its JSON form (the form of the desktop file; strings are
  // UTF-8, a lone surrogate may be given in its three-byte generalised form). A value that is
  // not a valid desktop gives the empty, untrusted desktop, exactly like a bad file. Journal
  // lines are kept in memory (`journal()`).
  explicit SimDesktop(const nlohmann::json& desktop);

  // A desktop backed by a file: loaded now, and loaded afresh before every platform operation
  // when the file changed (device, inode, size or modification time differ), dropping what
  // the desktop held. Journal lines are appended to `journalPath` when given (opened in
  // append mode; each line written at once, so a harness sees it between two requests) and
  // never kept in memory. Failures to read or write files are silent: a missing or unreadable
  // desktop file is the empty, untrusted desktop, and an unwritable journal is skipped.
  static std::unique_ptr<SimDesktop> fromFile(std::string desktopPath,
                                              std::optional<std::string> journalPath);

  ~SimDesktop() override;
  SimDesktop(const SimDesktop&) = delete;
  SimDesktop& operator=(const SimDesktop&) = delete;

  // Applies an RFC 7386 merge patch to the desktop held in memory, as a scheduled change
  // would (tests use it to change the desktop between two requests). Not journaled. A patch
  // that is not an object, or nests deeper than a desktop file may, is ignored.
  void patch(const nlohmann::json& mergePatch);

  // In-memory mode: every journal line so far (compact JSON objects, no line feed), in order.
  // Always empty for a desktop backed by a file.
  const std::vector<std::string>& journal() const;
  void clearJournal();

  // Outstanding element references (each create or copy result counts 1, each retain +1,
  // each release -1) and keyboard events not yet released.
  std::size_t liveElementReferences() const;
  std::size_t liveKeyEvents() const;

  // The wait made for a hung application; by default a real sleep. Tests replace it to
  // record the wait instead.
  void setWait(std::function<void(double seconds)> wait);

  // The JSON value an element's attribute holds now in the model (strings in UTF-8, a lone
  // surrogate in its three-byte generalised form); empty when the element or the attribute is
  // not there. "app:P" names the attributes of application P. Does not reload the file.
  std::optional<nlohmann::json> attribute(std::string_view elementId, std::string_view name) const;

  // --- Platform ---
  bool isProcessTrusted() override;
  std::optional<RunningApp> frontmostApplication() override;
  std::optional<RunningApp> runningApplication(Pid pid) override;
  Pid ownPid() override;
  std::optional<Pid> parentPid() override;
  Element createApplication(Pid pid) override;
  void setMessagingTimeout(const Element& element, float seconds) override;
  AttributeRead copyAttributeValue(const Element& element, std::string_view attribute) override;
  SettableAnswer isAttributeSettable(const Element& element, std::string_view attribute) override;
  AxError setAttributeValue(const Element& element, std::string_view attribute,
                            std::u16string_view text) override;
  bool elementsEqual(const Element& a, const Element& b) override;
  bool typedOnly(const Element& element) override;
  bool typesAstral(const Element& field) override;
  // Sets the attribute of an application or element that lists it (a hung application fails as
  // for any request); one not listed fails with -25205, one listed as {"error": CODE} answers
  // CODE and keeps it.
  AxError setFlagAttribute(const Element& element, std::string_view attribute, bool value) override;
  bool builtOnElectron(Pid pid) override;
  WebEngine webEngine(Pid pid) override;
  // Not journaled, like the clock: asking it changes nothing and counts for no trigger.
  bool secureEventInput() override;
  std::uint64_t modifierFlags() override;
  KeyEvent createKeyboardEvent(std::uint16_t virtualKey, bool keyDown) override;
  void setUnicodeString(KeyEvent& event, std::u16string_view units) override;
  void setFlags(KeyEvent& event, std::uint64_t flags) override;
  bool postToPid(Pid pid, const KeyEvent& event) override;
  std::string newUuid() override;
  double now() override;
  // Journaled; waits through the same function as a hung application's timeout (`setWait`).
  void pause(double seconds) override;

 protected:
  void retainElement(std::uintptr_t ref) noexcept override;
  void releaseElement(std::uintptr_t ref) noexcept override;
  void releaseKeyEvent(std::uintptr_t ref) noexcept override;

 private:
  struct FileSource;

  // One handle object: what a create or copy result refers to. Copies of an Element share it.
  struct Handle {
    std::string elementId;
    std::size_t references = 1;
    std::optional<double> timeout;  // seconds; none: the platform default
  };
  struct Event {
    bool keyDown = false;
    std::uint16_t virtualKey = 0;
    std::u16string units;
    std::uint64_t flags = 0;
  };
  struct Pending {
    std::string elementId;
    DeferredWrite write;
  };
  // What a request on a handle reaches: the application or element it names, and the code
  // the request fails with before any attribute is looked at.
  struct Target {
    AxError error = kAxSuccess;
    Entry* entry = nullptr;  // the attributes, when the application or element has any
    Node* node = nullptr;    // set for an element, not for an application
  };

  SimDesktop();

  void install(const nlohmann::json& desktop);
  void refresh();
  void loadFile();

  const Handle* handleOf(const Element& element) const;
  Element newHandle(std::string elementId);
  // What the handle names now; a request to a hung application waits for the handle's
  // timeout first and then fails.
  Target reach(const Handle* handle);
  std::optional<RunningApp> appWithPid(Pid pid) const;

  // A typed key's characters reach the focused element of the application it was posted to.
  void typeInto(Pid pid, std::u16string_view text);

  // What an operation was, as far as the schedule's triggers care.
  struct Moment {
    bool pause = false;
    std::optional<std::string_view> setting;  // a boolean attribute set true on an application
  };
  // Records a journaled operation: writes its line, counts it (and the post, if it was one)
  // and then applies the schedule entries it triggers.
  void record(std::string line, bool post, Moment moment);
  void record(std::string line, bool post);

  Desktop desktop_;
  std::uint64_t opsSinceLoad_ = 0;
  std::uint64_t postsSinceLoad_ = 0;
  std::uint64_t pausesSinceLoad_ = 0;
  std::uint64_t creationsSinceLoad_ = 0;
  // Pauses since the first setting of each attribute since the load (see Moment).
  std::map<std::string, std::uint64_t, std::less<>> pausesSinceSetting_;
  // Pauses since the latest setting of each attribute, and the "restart" entries that fired.
  std::map<std::string, std::uint64_t, std::less<>> pausesSinceLatestSetting_;
  std::set<std::size_t> firedRestarting_;
  std::vector<Pending> deferred_;

  std::unordered_map<std::uintptr_t, Handle> handles_;
  std::uintptr_t nextHandle_ = 1;
  std::unordered_map<std::uintptr_t, Event> events_;
  std::uintptr_t nextEvent_ = 1;

  std::function<void(double)> wait_;
  std::vector<std::string> journal_;
  std::unique_ptr<FileSource> file_;
};

}  // namespace caretsafe::sim
