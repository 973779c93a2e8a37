// sablewick: a resident xAP node that runs user scripts on xAP messages.
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "core/App.h"
#include "core/ChildReaper.h"
#include "core/Folder.h"
#include "core/Paths.h"
#include "app/TollkeepForm.h"

namespace {

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

gboolean Hangup(gpointer app) {
  if (auto* form = static_cast<sablewick::App*>(app)->form) form->OnHangup();
  return G_SOURCE_CONTINUE;
}

std::string ExePath(const char* argv0) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0;
}

constexpr const char* kUsage =
    "Usage: sablewick [--folder DIR] | --help | --version\n"
    "A resident xAP node that runs user scripts on xAP messages. Its settings are\n"
    "Config/Drumlin.ini and Config/Sablewick.ini, its log Data/Sablewick.txt, its scripts in\n"
    "Scripts/, all in one folder: DIR, else $SABLEWICK_FOLDER, else the program's own folder\n"
    "when it belongs to the user (a portable install), else $XDG_DATA_HOME/sablewick\n"
    "(~/.local/share/sablewick), made on first start. Every log line is also written to\n"
    "standard error.\n"
    "  --folder DIR  keep Config/, Data/ and Scripts/ in DIR (made when missing)\n"
    "  --help        print this text and exit\n"
    "  --version     print the version and exit\n";

// The command line: --folder DIR, or --help or --version alone. Anything else is refused
// before the node touches the network, so a typo never starts a node. -1: start the node.
int Options(int argc, char** argv, std::string& folder) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && (arg == "--version" || arg == "-V")) {
      std::printf("sablewick %s\n", SABLEWICK_VERSION);
      return 0;
    }
    if (arg == "--folder" && i + 1 < argc && argv[i + 1][0] != '\0' && folder.empty()) {
      folder = argv[++i];
      continue;
    }
    if (arg.starts_with("--folder=") && arg.size() > 9 && folder.empty()) {
      folder = arg.substr(9);
      continue;
    }
    if (arg == "--folder" || arg.starts_with("--folder="))
      std::fprintf(stderr, "sablewick: --folder takes one folder, once\n%s", kUsage);
    else
      std::fprintf(stderr, "sablewick: unknown option '%s'\n%s", arg.c_str(), kUsage);
    return 2;
  }
  return -1;
}

// Chooses the folder of the node's files (core/Folder.h) and makes it when it is not the
// portable install's. False, with the reason on standard error, when it cannot be used.
bool ChooseFolder(sablewick::App& app, const std::string& given) {
  using namespace sablewick;
  // The program's own folder as it is: when that is the user's, the start-up keeps the rules
  // it always had for it (a development tree moves to the installed folder).
  const FolderChoice choice =
      ChooseInstanceFolder(DirName(app.ExePath), given, FolderEnvironment());
  if (!choice.portable) {
    if (const std::string problem = MakeInstanceFolder(choice.path); !problem.empty()) {
      std::fprintf(stderr, "sablewick: cannot start: %s (chosen by %s)\n", problem.c_str(),
                   choice.how.c_str());
      return false;
    }
    app.InstanceFolder = choice.path;
  }
  // What the node starts (scripts, sablewick-ctl) finds the same folder.
  ::setenv(kFolderVariable, choice.portable ? ResolveAppPath(choice.path).c_str()
                                            : choice.path.c_str(), 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread has it blocked: see core/ChildReaper.h.
  sablewick::ChildReaper::BlockChildSignal();
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
  std::string folder;
  if (const int code = Options(argc, argv, folder); code >= 0) return code;
  std::signal(SIGPIPE, SIG_IGN);
  sablewick::App app;
  app.ExePath = ExePath(argc > 0 ? argv[0] : "sablewick");
  if (!ChooseFolder(app, folder)) return 1;
  app.loop = g_main_loop_new(nullptr, FALSE);
  // The session ending (or a service manager stopping us) runs the normal shutdown; SIGHUP
  // reloads, as daemons do.
  for (int sig : {SIGTERM, SIGINT}) g_unix_signal_add(sig, Quit, app.loop);
  g_unix_signal_add(SIGHUP, Hangup, &app);

  sablewick::TollkeepForm form(app);
  // A start that fails says why in words and ends with status 1, whatever failed.
  bool started = false;
  try {
    started = form.Form_Load();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sablewick: cannot start: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "sablewick: cannot start: an unknown failure\n");
  }
  if (!started) {
    g_main_loop_unref(app.loop);
    return 1;
  }
  g_main_loop_run(app.loop);
  form.Form_Unload();
  g_main_loop_unref(app.loop);
  return app.exitCode;
}
