#include "computer/windows/window_resolution.h"

#include <cmath>
#include <exception>
#include <vector>

#include "common/alongside.h"
#include "computer/accessibility/attributes.h"
#include "computer/failure.h"

namespace larkspire::computer {

using platform::Rect;

bool sameWindowBounds(const Rect& a, const Rect& b) {
  constexpr double kTolerance = 1.0;
  return std::fabs(platform::minX(a) - platform::minX(b)) < kTolerance &&
         std::fabs(platform::minY(a) - platform::minY(b)) < kTolerance &&
         std::fabs(platform::width(a) - platform::width(b)) < kTolerance &&
         std::fabs(platform::height(a) - platform::height(b)) < kTolerance;
}

std::vector<WindowMatch> uniqueWindowMatches(const std::vector<Rect>& captures,
                                             const std::vector<std::optional<Rect>>& accessibility) {
  std::vector<CaptureFrames> frames;
  frames.reserve(captures.size());
  for (const auto& capture : captures) frames.push_back({capture, std::nullopt});
  return uniqueWindowMatchesByFrameOrContent(frames, accessibility);
}

std::vector<WindowMatch> uniqueWindowMatchesByFrameOrContent(const std::vector<CaptureFrames>& captures,
                                                             const std::vector<std::optional<Rect>>& accessibility) {
  for (const auto& frame : accessibility) {
    if (!frame) return {};
  }
  std::vector<std::vector<std::size_t>> candidates(captures.size());
  std::vector<int> claims(accessibility.size(), 0);  // capture windows each one fits
  for (std::size_t i = 0; i < captures.size(); ++i) {
    for (std::size_t j = 0; j < accessibility.size(); ++j) {
      const auto& capture = captures[i];
      if (sameWindowBounds(capture.frame, *accessibility[j]) ||
          (capture.content && sameWindowBounds(*capture.content, *accessibility[j]))) {
        candidates[i].push_back(j);
        ++claims[j];
      }
    }
  }
  std::vector<WindowMatch> matches;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    if (candidates[i].size() == 1 && claims[candidates[i].front()] == 1) {
      matches.push_back({i, candidates[i].front()});
    }
  }
  return matches;
}

namespace {

// An application that does not answer has not changed its windows: that
// is an unavailable service, not another window. One that has ended has.
void unanswered(platform::AXError error, const platform::Application& app) {
  if (error == platform::kAXErrorCannotComplete && !app->isTerminated()) fail(kUnavailable);
}

}  // namespace

bool screenLocked(platform::Session& session) {
  auto dictionary = session.currentDictionary();
  if (!dictionary) return false;
  auto found = dictionary->find("CGSSessionScreenIsLocked");
  if (found == dictionary->end()) return false;
  if (auto locked = std::get_if<bool>(&found->second)) return *locked;
  return false;
}

ResolvedWindow window(platform::Platform& platform, const platform::Application& app,
                      const std::optional<std::string>& windowId) {
  auto& accessibility = platform.accessibility;
  // A service that is gone or does not answer is not a permission the user
  // could grant.
  auto permission = [](platform::PermissionState state) {
    if (state == platform::PermissionState::serviceFailed) fail(kUnavailable);
    if (state != platform::PermissionState::granted) fail(kPermissionRequired);
  };
  permission(accessibility.trustState());
  permission(platform.screenCapture.screenCaptureState());
  if (screenLocked(platform.session)) fail(kScreenLocked);

  const platform::Pid pid = app->processIdentifier();
  auto listWindows = [&capture = platform.screenCapture] { return capture.shareableContent(false, false); };
  // Where the backend allows, the window server lists its windows while
  // the application lists its own. Its failure still comes first, as when
  // it is asked first.
  const bool meanwhile = platform.screenCapture.capturesAlongsideAccessibility();
  auto listed = alongside(meanwhile, listWindows);
  std::vector<platform::ShareableWindow> content;
  if (!meanwhile) content = listed.get();

  platform::ElementList accessibilityWindows;
  std::vector<std::optional<Rect>> accessibilityFrames;
  std::exception_ptr accessibilityFailure;
  try {
    auto applicationElement = accessibility.createApplication(pid);
    // Some toolkits build their accessibility tree only when asked to; the
    // answer does not matter.
    (void)accessibility.setAttributeValue(applicationElement, "AXManualAccessibility", platform::Value(true));
    auto windowsRead = accessibility.copyAttributeValue(applicationElement, "AXWindows");
    if (auto list = windowsRead.get<platform::ElementList>()) accessibilityWindows = *list;
    unanswered(windowsRead.error, app);
    accessibilityFrames.reserve(accessibilityWindows.size());
    for (const auto& element : accessibilityWindows) {
      platform::AXError error = platform::kAXErrorSuccess;
      accessibilityFrames.push_back(bounds(accessibility, element, &error));
      if (!accessibilityFrames.back()) unanswered(error, app);
    }
  } catch (...) {
    if (!meanwhile) throw;
    accessibilityFailure = std::current_exception();
  }
  if (meanwhile) content = listed.get();
  if (accessibilityFailure) std::rethrow_exception(accessibilityFailure);

  std::vector<platform::ShareableWindow> captures;
  for (auto& candidate : content) {
    if (!candidate.owningProcess || *candidate.owningProcess != pid) continue;
    if (candidate.layer != 0) continue;
    if (!(platform::width(candidate.frame) > 0) || !(platform::height(candidate.frame) > 0)) continue;
    captures.push_back(std::move(candidate));
  }
  std::vector<CaptureFrames> captureFrames;
  captureFrames.reserve(captures.size());
  for (const auto& capture : captures) captureFrames.push_back({capture.frame, capture.contentFrame});

  auto matches = uniqueWindowMatchesByFrameOrContent(captureFrames, accessibilityFrames);
  if (matches.empty()) fail(kTargetChanged);

  const WindowMatch* chosen = nullptr;
  if (windowId) {
    for (const auto& match : matches) {
      if (std::to_string(captures[match.capture].windowID) == *windowId) {
        chosen = &match;
        break;
      }
    }
    if (!chosen) fail(kTargetChanged);
  } else {
    chosen = &matches.front();
  }

  ResolvedWindow resolved{captures[chosen->capture], accessibilityWindows[chosen->accessibility], {}};
  resolved.paired.reserve(matches.size());
  for (const auto& match : matches) resolved.paired.push_back(captures[match.capture]);
  return resolved;
}

}  // namespace larkspire::computer
