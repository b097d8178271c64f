#pragma once

#include "wav/file.hpp"

// A run stopped by a signal (SIGINT, SIGTERM, SIGHUP, and SIGPIPE or SIGXFSZ,
// which would end it as well) removes the files it created under temporary
// names before it ends with the signal's usual status. A handler can reach
// no state of the run, so those files are registered here.
void InstallStopHandlers();

enum class StopSlot { kDestination, kWorkFile };

// From now on a stop removes the file at path, as long as that name still
// leads to the file of that identity.
void RemoveWhenStopped(StopSlot slot, const char* path, const FileIdentity& identity);

// From now on a stop leaves the slot's file alone.
void KeepWhenStopped(StopSlot slot);
