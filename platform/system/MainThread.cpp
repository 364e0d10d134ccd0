#include "MainThread.h"

#include "GOwned.h"

namespace plumo {

void MainThread::post(std::function<void()> work) {
  const GOwned<GSource> source(g_idle_source_new());
  g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source.get(),
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(work)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(source.get(), nullptr);
}

}  // namespace plumo
