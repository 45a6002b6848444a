// Pairing an application's screen-capture windows with its accessibility
// windows. The platform offers no link between the two, so they are paired
// by frame, and only where the pairing is unambiguous.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace larkspire::computer {

// Positions into the capture and accessibility window lists.
struct WindowMatch {
  std::size_t capture = 0;
  std::size_t accessibility = 0;
  bool operator==(const WindowMatch&) const = default;
};

struct ResolvedWindow {
  platform::ShareableWindow capture;              // the chosen capture window
  platform::Element accessibility;                // its accessibility window
  std::vector<platform::ShareableWindow> paired;  // capture windows of every pair, chosen included
};

// Frames closer than one point on smallest x, smallest y, width and height.
bool sameWindowBounds(const platform::Rect& a, const platform::Rect& b);

// Pairs each capture frame with the one accessibility frame that fits it
// and fits no other capture frame. One unreadable accessibility frame makes
// every pairing impossible. Ordered by capture position.
std::vector<WindowMatch> uniqueWindowMatches(const std::vector<platform::Rect>& captures,
                                             const std::vector<std::optional<platform::Rect>>& accessibility);

// A capture window's frame, and its inside where a window manager's
// decoration makes the two differ.
struct CaptureFrames {
  platform::Rect frame;
  std::optional<platform::Rect> content;
};

// The same rule where toolkits disagree on what a window's accessibility
// frame is (the decorated frame for some, the inside for others): an
// accessibility frame fits a capture window when it is the same as either
// of its two rectangles, learnt per window.
std::vector<WindowMatch> uniqueWindowMatchesByFrameOrContent(
    const std::vector<CaptureFrames>& captures, const std::vector<std::optional<platform::Rect>>& accessibility);

// Whether the login session's screen is locked.
bool screenLocked(platform::Session& session);

// Checks the permissions and the lock, then resolves the app's window:
// the one numbered windowId (decimal text, compared as text), or the first
// pair. Throws NativeFailure; a PlatformError from the shareable content
// passes through.
ResolvedWindow window(platform::Platform& platform, const platform::Application& app,
                      const std::optional<std::string>& windowId);

// The index of the first candidate that is the same element as original
// and carries the same metadata; metadata is compared only for the same
// element.
template <typename T, typename M, typename Same>
std::optional<std::size_t> observedCandidate(const T& original, const M& metadata,
                                             const std::vector<std::pair<T, M>>& candidates, Same&& same) {
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (same(original, candidates[i].first) && candidates[i].second == metadata) return i;
  }
  return std::nullopt;
}

// The element of that candidate.
template <typename T, typename M, typename Same>
std::optional<T> observedReference(const T& original, const M& metadata, const std::vector<std::pair<T, M>>& candidates,
                                   Same&& same) {
  auto index = observedCandidate(original, metadata, candidates, std::forward<Same>(same));
  if (!index) return std::nullopt;
  return candidates[*index].first;
}

}  // namespace larkspire::computer
