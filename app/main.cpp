// sablewick: a resident xAP node that runs user scripts on xAP messages.
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "core/App.h"
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

constexpr const char* kUsage =
    "Usage: sablewick [--help | --version]\n"
    "A resident xAP node that runs user scripts on xAP messages. It takes no options: its\n"
    "settings are Config/Drumlin.ini and Config/Sablewick.ini beside the program, its log is\n"
    "Data/Sablewick.txt, and every log line is also written to standard error.\n";

// The command line: only --help and --version. Anything else is refused before the node
// touches the network, so a typo never starts a node.
int Options(int argc, char** argv) {
  if (argc <= 1) return -1;
  const std::string arg = argv[1];
  if (argc == 2 && (arg == "--help" || arg == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (arg == "--version" || arg == "-V")) {
    std::printf("sablewick %s\n", SABLEWICK_VERSION);
    return 0;
  }
  std::fprintf(stderr, "sablewick: unknown option '%s'\n%s", arg.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Started with standard input, output or error closed, the next socket or file would take
  // that number and the terminal copy of the log would land in it: /dev/null holds the place.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  if (const int code = Options(argc, argv); code >= 0) return code;
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
