// sablewick: a resident xAP node that runs user scripts on xAP messages.
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "app/App.h"
#include "app/TollkeepForm.h"

namespace {

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

std::string ExePath(const char* argv0) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  sablewick::App app;
  app.ExePath = ExePath(argc > 0 ? argv[0] : "sablewick");
  app.loop = g_main_loop_new(nullptr, FALSE);
  // The session ending (or a service manager stopping us) runs the normal shutdown.
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) g_unix_signal_add(sig, Quit, app.loop);

  sablewick::TollkeepForm form(app);
  if (!form.Form_Load()) {
    g_main_loop_unref(app.loop);
    return 1;
  }
  g_main_loop_run(app.loop);
  form.Form_Unload();
  g_main_loop_unref(app.loop);
  return app.exitCode;
}
