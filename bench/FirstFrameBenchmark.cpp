// Process start to first frame, seen from outside: starts a program under the
// current X display and watches the screen, so that plumo-share (module
// loading included) and a bare GTK window are timed the same way.
//
// usage: bench_first_frame PROGRAM [ARGUMENT...]
// Prints the milliseconds from the fork to the window's map and to the first
// frame drawn inside it, and the CPU time the program had used by then; then
// ends the program with SIGTERM (the card's dismiss).
// Exits with 3 when the program showed no window: the run may be tried again.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <cstdint>
#include <linux/perf_event.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// False once the program has ended, or after ten seconds without an event.
bool waitForEvent(Display* display, pid_t program, XEvent& event) {
  for (int waited = 0; XPending(display) == 0; waited += 50) {
    if (waited >= 10'000 || ::waitpid(program, nullptr, WNOHANG) == program) return false;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    ::poll(&connection, 1, 50);
  }
  XNextEvent(display, &event);
  return true;
}

// The virtual X server here now and then drops a new connection while it sets it up.
Display* openDisplay() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (Display* display = XOpenDisplay(nullptr)) return display;
  }
  return nullptr;
}

bool inside(const XRectangle& area, const XWindowAttributes& window) {
  return area.x < window.x + window.width && window.x < area.x + area.width && area.y < window.y + window.height &&
         window.y < area.y + area.height;
}

// The server fills a window with one colour when it maps it; a frame of the
// toolkit's has text on its background.
bool showsAFrame(Display* display, Window window, const XWindowAttributes& attributes) {
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  if (image == nullptr) return false;
  const unsigned long first = XGetPixel(image, 0, 0);
  bool drawn = false;
  for (int y = 0; y < image->height && !drawn; ++y) {
    for (int x = 0; x < image->width && !drawn; ++x) drawn = XGetPixel(image, x, y) != first;
  }
  XDestroyImage(image);
  return drawn;
}

// The CPU time of all the program's threads from its exec on, less swayed than
// the wall time by what else the machine runs; -1 where perf events are refused.
int countCpuTimeFromExec(pid_t program) {
  perf_event_attr attributes{};
  attributes.size = sizeof attributes;
  attributes.type = PERF_TYPE_SOFTWARE;
  attributes.config = PERF_COUNT_SW_TASK_CLOCK;
  attributes.disabled = 1;
  attributes.enable_on_exec = 1;
  attributes.inherit = 1;
  return static_cast<int>(::syscall(SYS_perf_event_open, &attributes, program, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

double cpuMilliseconds(int counter) {
  std::uint64_t nanoseconds = 0;
  if (counter < 0 || ::read(counter, &nanoseconds, sizeof nanoseconds) != sizeof nanoseconds) return -1;
  return static_cast<double>(nanoseconds) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: bench_first_frame PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  Display* display = openDisplay();
  int damageEvents = 0;
  int damageErrors = 0;
  if (display == nullptr || !XDamageQueryExtension(display, &damageEvents, &damageErrors)) {
    std::fputs("bench_first_frame: needs an X display with the DAMAGE extension\n", stderr);
    return 1;
  }
  // Drawing into any window is reported as damage to the root window that holds it.
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XDamageCreate(display, root, XDamageReportRawRectangles);
  XSync(display, False);

  int go[2];
  if (::pipe(go) != 0) return 1;
  const double started = monotonicMilliseconds();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ConnectionNumber(display));
    const int nothing = ::open("/dev/null", O_WRONLY);  // our standard output carries the figures
    ::dup2(nothing, STDOUT_FILENO);
    char ready = 0;
    ::close(go[1]);
    if (::read(go[0], &ready, 1) != 1) ::_exit(127);
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  const int cpu = countCpuTimeFromExec(child);
  ::write(go[1], "x", 1);
  ::close(go[1]);
  ::close(go[0]);
  double mapped = -1;
  double painted = -1;
  double paintedCpu = -1;
  Window window = None;
  XWindowAttributes attributes{};
  XEvent event;
  while (painted < 0 && waitForEvent(display, child, event)) {
    if (event.type == MapNotify && mapped < 0 && !event.xmap.override_redirect) {
      mapped = monotonicMilliseconds() - started;
      window = event.xmap.window;
      XGetWindowAttributes(display, window, &attributes);
    } else if (event.type == damageEvents + XDamageNotify && mapped >= 0 &&
               inside(reinterpret_cast<XDamageNotifyEvent&>(event).area, attributes) &&
               showsAFrame(display, window, attributes)) {
      painted = monotonicMilliseconds() - started;
      paintedCpu = cpuMilliseconds(cpu);
    }
  }
  ::kill(child, SIGTERM);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (painted < 0) {  // the program could not open the display either, or failed
    std::fprintf(stderr, "bench_first_frame: %s drew no window\n", argv[1]);
    return 3;
  }
  std::printf("%.3f %.3f %.3f\n", mapped, painted, paintedCpu);
  return 0;
}
