// What the commands of tamrel share: the engine's exit codes and failures, the loaded plug-in and
// the output files every command checks and writes.
#pragma once

#include "engine/Host.h"
#include "engine/OutputFiles.h"
#include "engine/PluginLibrary.h"
