// An in-memory desktop with virtual time: applications, installed bundles,
// windows, accessibility trees, permissions, the screen lock, the frontmost
// application and a record of everything the programs did to it.
//
// Tests build a scenario with the fluent builders below, hand
// `desktop.platform()` to the code under test, and assert on the records:
//
//   simulated::Desktop desktop;
//   auto& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 42});
//   auto& win = app.addWindow({.title = "Untitled", .frame = {{100, 50}, {800, 600}}});
//   win.element().add("AXButton").title("OK").actions({"AXPress"}).frame({{110, 60}, {80, 24}});
//   win.element().add("AXTextField").subrole("AXSecureTextField");
//   desktop.setFrontmost(app);
//
// Or, for bigger trees, the compact text form of tree_text.h:
//
//   win.element().addTree(R"(
//   AXGroup
//     AXButton #ok title="OK" actions=AXPress frame=110,60,80,24
//   )");
//   Node& ok = *win.element().find("ok");
//
// Time is virtual: Clock::sleep advances it, running every timer, delayed
// task and scenario event (`at`) that comes due meanwhile. The desktop is not
// thread-safe; drive it and the code under test from one thread.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace larkspire::simulated {

using platform::AXError;
using platform::Element;
using platform::Pid;
using platform::Point;
using platform::Rect;
using platform::Size;
using platform::Value;

class Desktop;
class SimApp;
class SimWindow;
class SimRunningApplication;

// One attribute as the element answers it: an error code and a value.
struct AttributeAnswer {
  AXError error = platform::kAXErrorSuccess;
  std::optional<Value> value{};
};

// One node of an accessibility tree. Attributes are stored as answers, so a
// test can make any read fail or return a value of an unexpected type.
// "AXChildren" answers the node's children unless it was set explicitly.
class Node {
 public:
  Node(Desktop& desktop, SimApp* app, Node* parent);
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // The platform handle of this node (identity equality).
  Element element() const;
  Node* parent() const { return parent_; }
  SimApp* app() const { return app_; }
  const std::vector<std::unique_ptr<Node>>& children() const { return children_; }

  // Adds a child with the given "AXRole" and returns it.
  Node& add(const std::string& role);
  // Adds `count` children built by `build` (for limit tests).
  Node& addMany(int count, const std::function<void(Node&, int)>& build);
  // Removes a child and its subtree; handles to them then read as invalid
  // elements. Removing a window's node closes the window.
  void removeChild(const Node& child);
  // Makes this node's handles fail with kAXErrorInvalidUIElement while it
  // stays in the tree (an element the application has torn down).
  Node& invalidate();
  bool valid() const;
  // Children built from indented lines (see tree_text.h); returns this node.
  Node& addTree(const std::string& text);
  // A name for finding the node again in a built tree, and the search for it
  // in this subtree (this node included), depth first; none when absent.
  Node& tag(const std::string& name);
  Node* find(const std::string& tagName);

  // Common attributes.
  Node& role(const std::string& value);
  Node& subrole(const std::string& value);
  Node& title(const std::string& value);
  Node& description(const std::string& value);
  Node& value(const Value& value);  // "AXValue"
  // "AXPosition" and "AXSize" as AXValues.
  Node& frame(const Rect& rect);
  Node& protectedContent(bool value);
  Node& actions(std::vector<std::string> names);
  Node& settable(const std::string& attribute, bool settable = true);

  // Any attribute: a value, an error, or a successful read without value.
  Node& set(const std::string& attribute, const Value& value);
  Node& fail(const std::string& attribute, AXError error);
  Node& succeedWithoutValue(const std::string& attribute);
  Node& unset(const std::string& attribute);
  // Errors of the other calls.
  Node& failActionNames(AXError error);
  Node& failSettable(const std::string& attribute, AXError error);
  Node& failAction(const std::string& action, AXError error);
  Node& failSet(const std::string& attribute, AXError error);
  // A parameterized attribute computed from its parameter.
  Node& parameterized(const std::string& attribute, std::function<AttributeAnswer(const Value& parameter)> answer);
  // Called when the programs perform an action on this node (after recording).
  Node& onAction(const std::string& action, std::function<void()> handler);

  std::optional<AttributeAnswer> answer(const std::string& attribute) const;
  const std::map<std::string, AttributeAnswer>& attributes() const { return attributes_; }

 private:
  friend class Desktop;
  friend class SimAccessibility;
  friend class SimApp;
  Desktop& desktop_;
  SimApp* app_;
  Node* parent_;
  std::uint64_t id_;
  bool dead_ = false;            // reads fail with kAXErrorInvalidUIElement
  SimWindow* window_ = nullptr;  // set on a window's node
  bool listed_ = true;           // false: left out of the parent's "AXChildren"
  std::string tag_;
  std::vector<std::unique_ptr<Node>> children_;
  std::map<std::string, AttributeAnswer> attributes_;
  std::optional<std::vector<std::string>> actions_;
  std::optional<AXError> actionNamesError_;
  std::set<std::string> settable_;
  std::map<std::string, AXError> settableErrors_;
  std::map<std::string, AXError> actionErrors_;
  std::map<std::string, AXError> setErrors_;
  std::map<std::string, std::function<AttributeAnswer(const Value&)>> parameterized_;
  std::map<std::string, std::function<void()>> actionHandlers_;
};

struct WindowSpec {
  std::optional<std::string> title = std::string();
  Rect frame{};                              // capture frame (screen points)
  std::optional<Rect> accessibilityFrame{};  // defaults to `frame`
  std::optional<Rect> contentFrame{};        // the capture's inside, when decorated
  int layer = 0;
  std::uint32_t windowID = 0;  // 0: assigned by the desktop
  bool accessible = true;      // listed in the application's "AXWindows"
  bool shareable = true;       // listed in the shareable content
};

// A window of an application: its capture side and its accessibility node.
class SimWindow {
 public:
  platform::ShareableWindow& capture() { return capture_; }
  Node& element() { return *node_; }
  std::uint32_t windowID() const { return capture_.windowID; }
  // Moves both sides of the window.
  void moveTo(Point origin);

 private:
  friend class Desktop;
  friend class SimApp;
  friend class Node;
  friend class SimAccessibility;
  friend class SimScreenCapture;
  platform::ShareableWindow capture_;
  SimApp* app_ = nullptr;
  Node* node_ = nullptr;
  bool shareable_ = true;
  bool accessible_ = true;
};

struct AppSpec {
  std::optional<std::string> bundleIdentifier{};
  std::optional<std::string> name{};
  Pid pid = 0;  // 0: assigned by the desktop
  platform::ActivationPolicy policy = platform::ActivationPolicy::regular;
  bool finishedLaunching = true;
};

class SimApp {
 public:
  SimApp(Desktop& desktop, const AppSpec& spec);
  ~SimApp();
  SimApp(const SimApp&) = delete;
  SimApp& operator=(const SimApp&) = delete;
  Pid pid() const { return spec_.pid; }
  const AppSpec& spec() const { return spec_; }
  AppSpec& spec() { return spec_; }
  bool terminated() const { return terminated_; }
  // The application element (AXUIElementCreateApplication). Its "AXWindows"
  // answers the accessible windows unless set explicitly.
  Node& element() { return *root_; }
  SimWindow& addWindow(const WindowSpec& spec);
  std::vector<SimWindow*> windows();
  // Sets "AXFocusedWindow" and, optionally, "AXFocusedUIElement".
  void focus(SimWindow& window, Node* focusedElement = nullptr);
  // Closes a window: it leaves the shareable content and the tree.
  void closeWindow(SimWindow& window);
  // The application quits: its elements become invalid and it stops being
  // frontmost; it stays listed until Desktop::removeApp.
  void terminate();
  void finishLaunching() { spec_.finishedLaunching = true; }
  // A hung application: every accessibility call on its elements waits the
  // desktop's messaging timeout, then fails with kAXErrorCannotComplete.
  bool hung = false;
  // Whether RunningApplication::activate() is honoured. Since macOS 14 an
  // application that is not active can only ask, and the system may ignore
  // it; setting "AXFrontmost" through Accessibility still works.
  bool honoursActivation = true;
  // activate() calls on its RunningApplication (opening does not count).
  int activations() const { return activations_; }
  // Runs on activate(); by default activation makes the app frontmost.
  std::function<void(SimApp&)> onActivate;

  std::shared_ptr<platform::RunningApplication> handle();
  Desktop& desktop() { return desktop_; }

 private:
  friend class Desktop;
  Desktop& desktop_;
  AppSpec spec_;
  bool terminated_ = false;
  int activations_ = 0;
  std::unique_ptr<Node> root_;
  std::vector<std::unique_ptr<SimWindow>> windows_;
  std::shared_ptr<SimRunningApplication> handle_;
  bool listed_ = true;
};

// An installed application bundle in one of the application folders.
struct BundleSpec {
  std::optional<std::string> bundleIdentifier{};
  std::optional<std::string> bundleName{};
  std::optional<std::string> displayName{};   // default: the entry name
  std::optional<std::string> metadataName{};  // the index's display name
  bool isBundle = true;                       // false: an entry that opens as no bundle
};

// How an opened application behaves.
struct LaunchSpec {
  AppSpec app{};                      // the application that starts
  double finishesLaunchingAfter = 0;  // seconds after the open completes
  std::optional<double> terminatesAfter{};
  std::optional<std::string> error{};      // the open completes with this error
  double completesAfter = 0;               // virtual seconds until the completion arrives
  std::function<void(SimApp&)> onStart{};  // builds windows etc.
};

using PostedEvent = std::variant<platform::KeyboardEvent, platform::MouseEvent, platform::ScrollEvent>;

struct PerformedAction {
  Element element;
  std::string action;
};

struct SetValue {
  Element element;
  std::string attribute;
  Value value;
};

class Desktop {
 public:
  Desktop();
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  platform::Platform& platform();

  // --- Time ---------------------------------------------------------------
  double now() const { return now_; }
  // Advances virtual time, running every timer, delayed task and scenario
  // event that comes due, in time order.
  void advance(double seconds);
  // A scenario event at an absolute virtual time.
  void at(double time, std::function<void()> event);
  // Delayed and repeating tasks waiting on the run loop.
  std::size_t pendingTasks() const;
  // RunLoop::run() also returns when the next work lies further ahead than
  // this, so that a test that forgets to stop cannot hang.
  double runLoopHorizon = 3600;

  // --- Permissions, session -------------------------------------------------
  bool accessibilityTrusted = true;
  bool screenRecordingGranted = true;
  // The service behind a permission is gone or does not answer: the
  // permission reads false, whatever was granted.
  bool accessibilityServiceFailed = false;
  bool captureServiceFailed = false;
  bool promptGrantsAccessibility = false;  // a prompting check grants it
  int accessibilityPrompts = 0;            // prompts shown (only while not trusted)
  int screenCaptureRequests = 0;
  // What Session::desktopGone answers.
  std::optional<std::string> desktopGone;
  std::optional<std::map<std::string, Value>> sessionDictionary = std::map<std::string, Value>{};
  void setScreenLocked(bool locked);

  // --- Applications -----------------------------------------------------------
  SimApp& addApp(const AppSpec& spec);
  SimApp* app(Pid pid);
  // The system's running-application order is the order of addition.
  // Terminated applications stay listed (as the platform still lists them for
  // a moment) until removed; handles to a removed one answer terminated.
  std::vector<SimApp*> apps();
  void removeApp(SimApp& app);
  void setFrontmost(SimApp& app);
  void clearFrontmost();
  SimApp* frontmost();

  // --- Installed bundles ------------------------------------------------------
  std::vector<std::string> applicationFolders = {"/Applications", "/Applications/Utilities", "/System/Applications",
                                                 "/System/Applications/Utilities", "/Users/tester/Applications"};
  std::string applicationSuffix = ".app";
  // Adds an entry to a folder (the folder exists from then on).
  void addEntry(const std::string& folder, const std::string& entryName, const BundleSpec& bundle = {});
  void addFolder(const std::string& folder);
  // What happens when a bundle identifier is opened; without a spec the
  // identifier has no location.
  void installLaunchable(const std::string& bundleIdentifier, LaunchSpec spec);
  int openRequests = 0;
  int bundleOpens = 0;  // bundles opened by path (for "not read" checks)
  // Where urlForApplication locates an installed launchable.
  static std::string launchableLocation(const std::string& bundleIdentifier);

  // --- This process -------------------------------------------------------------
  int sharedApplicationCalls = 0;
  bool accessoryActivationPolicy = false;

  // --- Capture ------------------------------------------------------------------
  std::optional<std::string> shareableContentError;
  std::optional<std::string> captureError;
  // When set, pngData answers these bytes (or none) instead of encoding.
  std::optional<std::optional<std::vector<std::uint8_t>>> pngOverride;
  int shareableContentRequests = 0;
  std::vector<platform::CaptureConfiguration> captures;
  // Whether observing may capture on a thread of its own while the
  // accessibility tree is read, as the Linux backend does.
  bool capturesAlongsideAccessibility = false;
  // Windows not owned by any application (desktop, overlays...).
  platform::ShareableWindow& addOrphanWindow(const platform::ShareableWindow& window);
  // The screens, in screen points. Windows of a higher layer lie above
  // those of a lower one; within a layer, the one added last is topmost.
  std::vector<Rect> screens = {Rect{{0, 0}, {2560, 1600}}};

  // --- Events -----------------------------------------------------------------
  std::vector<PostedEvent> posted;
  std::vector<PerformedAction> performed;
  std::vector<SetValue> setValues;
  bool failKeyboardEvents = false;
  bool failMouseEvents = false;
  bool failScrollEvents = false;
  // How long a call to a hung application waits before it fails.
  double messagingTimeout = 1.5;
  // Accessibility calls that reached an application (hung ones included).
  int accessibilityCalls = 0;
  // Of those, the attribute value counts.
  int countReads = 0;
  // The application an element belongs to, as the guard against hung
  // applications keys it: the process identifier as text.
  static std::optional<std::string> applicationOf(const Element& element);
  // Called after each posted event is recorded.
  std::function<void(const PostedEvent&)> onPost;
  // UTF-16 units the keyboard cannot type at all.
  std::set<char16_t> untypable;
  // Runs of typing ended (Events::finishTyping), and whether the keys of a
  // run cannot be shown to have arrived as typed.
  int typingRunsFinished = 0;
  bool typingUnconfirmed = false;
  // Whether another program holds the pointer, so that posted clicks are
  // not delivered (Events::finishClick).
  bool clicksHeld = false;

  // --- The user (drives the global monitors) --------------------------------------
  Point pointer;
  std::uint64_t pressedButtons = 0;
  void userMouseDown(Point at, int clickCount = 1);
  void userMouseUp(Point at, int clickCount = 1);
  void userKeyDown(platform::EventFlags flags);
  std::size_t monitorCount() const;

 private:
  friend class Node;
  friend class SimApp;
  friend class SimAccessibility;
  friend class SimWorkspace;
  friend class SimBundles;
  friend class SimScreenCapture;
  friend class SimEvents;
  friend class SimMonitors;
  friend class SimRunLoop;
  friend class SimClock;
  friend class SimRunningApplication;
  // RunningApplication::activate() (counted, and ignored unless the
  // application honours activation) or "AXFrontmost" set through
  // Accessibility; then onActivate or frontmost.
  bool activateApp(SimApp& app, bool throughAccessibility = false);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  double now_ = 0;
};

}  // namespace larkspire::simulated
