#include "edit/EditCommand.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "cli/Command.h"
#include "edit/EditServer.h"
#include "edit/EditSession.h"

extern char** environ;

namespace tamrel::host {
namespace {

// Opens url in the desktop's browser where there is a desktop; the server runs either way.
void OpenBrowser(const std::string& url) {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return;
  std::string opener = "xdg-open";
  char* argv[] = {opener.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return;
  std::thread([pid] {
    int status;
    ::waitpid(pid, &status, 0);
  }).detach();
}

}  // namespace

CLI::App* AddEditCommand(CLI::App& app, EditArgs& a) {
  CLI::App* edit = app.add_subcommand(
      "edit", "edit the map in a browser: both rollouts and a live preview, on this computer only");
  edit->footer(
      "The editor is served on a loopback address and opened in the desktop's browser; the\n"
      "address is printed so that it can be opened by hand. Ctrl-C stops it.");
  auto* scene =
      edit->add_option("--scene", a.scene, "scene file to edit (the map with its sub-maps)");
  edit->add_option("--preset", a.preset, "JSON preset to start from")->excludes(scene);
  edit->add_option("--port", a.port, "port to listen on (0: any free port)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  edit->add_option("--bind", a.address, "loopback address to listen on (127.0.0.1 or ::1)")
      ->capture_default_str();
  edit->add_flag("--no-open", a.noOpen, "do not open a browser");
  edit->add_option("--mesh", a.mesh,
                   "a model whose UV layout the preview and bakes of geometry 'Model' use");
  edit->add_option("--uv", a.uv, "UV set of the model, from 1 (as tamrel render --uv)")
      ->check(CLI::Range(1, 64));
  edit->add_option("--padding", a.padding, "texels each UV island is padded by (as tamrel render)")
      ->check(CLI::Range(0, kMaxPadding));
  return edit;
}

int RunEdit(const std::string& pluginPath, const EditArgs& a) {
  // SIGINT and SIGTERM are the way to stop the editor: they are taken by a thread of their own,
  // which stops the server, and every thread started from here on inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (!IsLoopbackAddress(a.address)) {
    std::cerr << "tamrel: error: the editor listens on a loopback address only (127.0.0.1 or ::1), "
                 "not '"
              << a.address << "'\n";
    return 2;
  }
  // Failures to load end through the shared path, with the exit codes tamrel render uses.
  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const ClassDirectory classes = MakeClassDirectory(plugin);

  try {
    EditSession session(*plugin.cd, classes,
                        std::string("tamrel ") + kVersion + "; " + PluginSummary(plugin));
    if (!a.scene.empty()) session.OpenScene(a.scene);
    if (!a.preset.empty()) session.OpenPreset(a.preset);
    if (!a.mesh.empty()) session.OpenModel(a.mesh, a.uv, a.padding);
    EditServerOptions options;
    options.address = a.address;
    options.port = a.port;
    EditServer server(session, options);
    std::thread watcher([&server, &session, stopSignals] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      // Work in flight stops within a sample, then the server stops taking requests.
      session.Interrupt(signal);
      server.Stop();
    });
    std::cout << "tamrel: editing at " << server.Url() << " (Ctrl-C to stop)" << std::endl;
    if (!a.noOpen) OpenBrowser(server.Url());
    server.Run();
    // Stopped by a signal: the watcher has returned. Stopped otherwise: wake it.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    // Ctrl-C is the way to stop an idle editor (exit 0); a signal that cut a bake or preview
    // short ends it as it ends tamrel render, with 128 + the signal.
    if (const int code = session.InterruptedWork(); code != 0) return code;
  } catch (const ListenError& e) {
    std::cerr << "tamrel: error: " << e.what() << "\n";
    return EXIT_LISTEN;
  } catch (const EditError& e) {
    std::cerr << "tamrel: error: " << e.what() << "\n";
    return e.status == 404 || e.status == 422 ? 3 : e.status == 400 ? 2 : 1;
  }
  return 0;
}

}  // namespace tamrel::host
