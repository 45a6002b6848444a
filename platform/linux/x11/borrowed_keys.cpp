#include "platform/linux/x11/borrowed_keys.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/handles.h"
#include "platform/linux/x11/error_trap.h"
#include "platform/linux/x11/server_grab.h"

namespace larkspire::linux_backend {
namespace {

constexpr const char* kProperty = "_LARKSPIRE_BORROWED_KEYS";
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<bool> terminatingNow{false};
int signalPipe[2] = {-1, -1};
// The connection the cleanup uses, opened when the cleanup was installed.
std::atomic<Display*> cleanupDisplay{nullptr};
std::mutex cleanupMutex;
// Held around every change of the map and the round trip after it, so that
// once termination has begun no change is still on its way to the server.
std::mutex changesMutex;

void onTerminationSignal(int signal) {
  // Only what is safe in a handler: the thread below does the work.
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  if (write(signalPipe[1], &number, 1) < 0) {
  }
  errno = saved;
}

// Gives back this process's borrowed keycodes over the cleanup's own
// connection, with the server grabbed so that no other request of this
// process comes in between. The grab is kept: the process ends next.
void giveBack(Display* display) {
  std::lock_guard lock(cleanupMutex);
  {
    std::lock_guard changes(changesMutex);
    terminatingNow = true;
  }
  grabServerForGood(display);
  auto keys = readBorrowedKeys(display);
  const auto self = static_cast<platform::Pid>(getpid());
  std::vector<BorrowedKey> kept;
  for (const auto& key : keys) {
    if (key.owner != self) {
      kept.push_back(key);
      continue;
    }
    int per = 0;
    XData<KeySym> row(XGetKeyboardMapping(display, static_cast<KeyCode>(key.keycode), 1, &per));
    if (row && per > 0 && row.get()[0] == key.keysym) {
      std::vector<KeySym> empty(static_cast<std::size_t>(per), NoSymbol);
      XChangeKeyboardMapping(display, key.keycode, per, empty.data(), 1);
    }
  }
  writeBorrowedKeys(display, kept);
  XSync(display, False);
}

// Gives the keycodes back, then ends the process by the signal.
void cleanUpAndEnd(Display* display, int signal) {
  giveBack(display);
  // The grab ends with the process.
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);
}

}  // namespace

std::vector<BorrowedKey> readBorrowedKeys(Display* display) {
  Atom property = XInternAtom(display, kProperty, False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<BorrowedKey> keys;
  XErrorTrap trap(display);
  const bool read = XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 65536, False, XA_CARDINAL,
                                       &type, &format, &count, &after, &data) == Success;
  XData<unsigned char> owned(data);
  if (read && owned && type == XA_CARDINAL && format == 32) {
    const auto* values = reinterpret_cast<const long*>(owned.get());
    for (unsigned long i = 0; i + 2 < count; i += 3) {
      keys.push_back(
          {static_cast<platform::Pid>(values[i]), static_cast<int>(values[i + 1]), static_cast<Keysym>(values[i + 2])});
    }
  }
  return keys;
}

void writeBorrowedKeys(Display* display, const std::vector<BorrowedKey>& keys) {
  Atom property = XInternAtom(display, kProperty, False);
  XErrorTrap trap(display);
  if (keys.empty()) {
    XDeleteProperty(display, DefaultRootWindow(display), property);
    return;
  }
  std::vector<long> values;
  for (const auto& key : keys) {
    values.push_back(key.owner);
    values.push_back(key.keycode);
    values.push_back(static_cast<long>(key.keysym));
  }
  XChangeProperty(display, DefaultRootWindow(display), property, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
}

void restoreKeymapOnTermination(Display* display) {
  static std::once_flag installed;
  std::call_once(installed, [display] {
    // A connection of its own, opened now: nothing but X requests is left
    // to do once a signal has come.
    Display* own = XOpenDisplay(DisplayString(display));
    if (!own || pipe2(signalPipe, O_CLOEXEC) != 0) {
      if (own) XCloseDisplay(own);
      return;
    }
    cleanupDisplay = own;
    std::thread([own] {
      sigset_t blocked;
      sigemptyset(&blocked);
      for (int signal : kSignals) sigaddset(&blocked, signal);
      pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
      unsigned char number = 0;
      while (read(signalPipe[0], &number, 1) < 0 && errno == EINTR) {
      }
      cleanUpAndEnd(own, number);
    }).detach();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
  });
}

bool terminating() { return terminatingNow; }

bool changeKeyboardMappingUnlessTerminating(const std::function<void()>& change) {
  std::lock_guard lock(changesMutex);
  if (terminatingNow) return false;
  change();
  return true;
}

void giveBackBorrowedKeysBeforeExit() {
  if (Display* display = cleanupDisplay.load()) giveBack(display);
}

}  // namespace larkspire::linux_backend
