// `tamrel edit`: the map's two rollouts in a browser with a live preview, served on a loopback
// address until interrupted.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace tamrel::host {

struct EditArgs {
  std::string scene, preset;
  std::string address = "127.0.0.1";
  int port = 0;
  bool noOpen = false;
  std::string mesh;  // a model to preview and bake in its UV layout
  int uv = 0, padding = -1;
};

// Declares the subcommand and its options on app.
CLI::App* AddEditCommand(CLI::App& app, EditArgs& args);
// Runs the editor until SIGINT or SIGTERM; returns the process's exit code, having printed any
// error as one line on stderr.
int RunEdit(const std::string& pluginPath, const EditArgs& args);

}  // namespace tamrel::host
