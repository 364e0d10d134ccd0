// From process start to the first frame of the share card, under a display
// (run under xvfb-run). Each iteration starts this program again as a child,
// which builds the card as plumo-share does and reports when GTK has painted
// its first frame.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <ctime>
#include <gtk/gtk.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "GtkViewRealization.h"
#include "Localization.h"
#include "ShareViewController.h"

namespace {

std::string program;

long long monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

class NoWorkspace : public plumo::Workspace {
 public:
  bool openUrl(const std::string&) override { return false; }
  std::optional<plumo::Image> applicationIcon(const std::string&) override { return std::nullopt; }
};

// The child: prints the time of the first frame and the renderer, then leaves.
int showCardOnce() {
  plumo::Localization::setUp(PLUMO_BUNDLE_DIR);
  if (!plumo::GtkViewRealization::initialize()) return 1;
  NoWorkspace workspace;
  const auto controller = std::make_shared<plumo::ShareViewController>(PLUMO_BUNDLE_DIR, nullptr, workspace);
  controller->loadView();
  controller->viewWillAppear();
  const plumo::GtkViewRealization realization(controller->view());
  const auto window = realization.window("Share to Plumo", controller->confirm);
  gtk_window_present(window.get());
  g_signal_connect(gtk_widget_get_frame_clock(GTK_WIDGET(window.get())), "after-paint",
                   G_CALLBACK(+[](GdkFrameClock*, gpointer native) {
                     std::printf("%lld %s\n", monotonicNanoseconds(),
                                 G_OBJECT_TYPE_NAME(gtk_native_get_renderer(GTK_NATIVE(native))));
                     std::fflush(stdout);
                     std::_Exit(0);
                   }),
                   window.get());
  while (true) g_main_context_iteration(nullptr, TRUE);
}

void BM_ProcessStartToFirstFrame(benchmark::State& state) {
  for (auto _ : state) {
    int output[2];
    if (::pipe(output) != 0) return state.SkipWithError("pipe");
    const long long started = monotonicNanoseconds();
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(output[1], STDOUT_FILENO);
      ::execl(program.c_str(), program.c_str(), "--child", nullptr);
      ::_exit(127);
    }
    ::close(output[1]);
    char line[256] = {};
    const ssize_t count = ::read(output[0], line, sizeof line - 1);
    ::close(output[0]);
    ::waitpid(child, nullptr, 0);
    long long painted = 0;
    char renderer[128] = {};
    if (count <= 0 || std::sscanf(line, "%lld %127s", &painted, renderer) != 2) {
      return state.SkipWithError("the card painted no frame: is there a display?");
    }
    state.SetIterationTime(static_cast<double>(painted - started) / 1e9);
    state.SetLabel(renderer);
  }
}
BENCHMARK(BM_ProcessStartToFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  program = argv[0];
  if (argc > 1 && std::string(argv[1]) == "--child") return showCardOnce();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
