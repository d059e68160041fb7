// tamrel: the command-line host. It loads the scratches plug-in through its exported functions,
// creates a map the way the host application does, sets it from scenes, presets and --set, and
// bakes it to image files; it also lists the parameters and what the plug-in reports. This file
// only parses the command line and dispatches to the commands.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <string>

#include "cli/Command.h"
#include "cli/Commands.h"
#include "engine/EchoText.h"
#include "edit/EditCommand.h"
#include "engine/Interrupt.h"

namespace {

using namespace tamrel::host;
using nlohmann::json;

}  // namespace

int main(int argc, char** argv) {
  InstallInterruptHandlers();
  CLI::App app{"tamrel: bakes the procedural scratches texture map to image files."};
  app.set_version_flag("--version", std::string("tamrel ") + kVersion);
  app.require_subcommand(1);
  std::string plugin;
  app.add_option("--plugin", plugin,
                 "the plug-in library (default: TamrelScratches.dlt beside tamrel, or $TAMREL_PLUGIN)");

  RenderArgs r;
  CLI::App* render = app.add_subcommand("render", "bake the map to a set of image files");
  AddRenderOptions(*render, r);

  bool paramsJson = false;
  CLI::App* params = app.add_subcommand("params", "list every parameter of both blocks");
  params->add_flag("--json", paramsJson, "as JSON");
  CLI::App* info = app.add_subcommand("info", "what the plug-in reports through its exports");
  EditArgs editArgs;
  CLI::App* edit = AddEditCommand(app, editArgs);

  // With --json an error is reported on standard output too, with the files that exist.
  json report = json::object();
  auto reportError = [&](int code, const std::string& message) {
    std::cerr << "tamrel: error: " << OneLine(message) << "\n";
    if (r.json) {
      report["error"] = message;
      report["exit_code"] = code;
      if (!report.contains("files")) report["files"] = json::array();
      std::cout << ReportText(report) << std::endl;
    }
    return code;
  };

  // An empty value is a mistake (an unset shell variable, a stray pair of quotes), never a
  // request for zero or for the default.
  const CLI::Validator nonEmpty(
      [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
      "", "NONEMPTY");
  for (CLI::App* command : {&app, render, params, info, edit}) {
    for (CLI::Option* option : command->get_options()) {
      if (option->get_expected_min() > 0 && option->get_name() != "--help") option->check(nonEmpty);
    }
  }

  // A parse error must be reported as JSON too when --json was asked for, though the flag itself
  // may not have been stored yet.
  for (int i = 1; i < argc; ++i) r.json = r.json || std::string(argv[i]) == "--json";
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string what = e.what();
    if (what.empty()) what = "bad command line";
    return reportError(EXIT_USAGE, what + " (see 'tamrel --help')");
  }

  const std::string pluginPath = plugin.empty() ? DefaultPluginPath() : plugin;
  try {
    if (render->parsed()) return RunRender(pluginPath, r, report);
    if (params->parsed()) return RunParams(pluginPath, paramsJson);
    if (info->parsed()) return RunInfo(pluginPath);
    if (edit->parsed()) return RunEdit(pluginPath, editArgs);
  } catch (const Failure& f) {
    return reportError(f.code, f.message);
  } catch (const std::exception& e) {
    return reportError(EXIT_RENDER, e.what());
  }
  return EXIT_USAGE;
}
