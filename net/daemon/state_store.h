// The chassis daemon's files: the chassis file it runs, kept in its run directory for the task
// processes, and the tunnelling configuration written back when it changes, so that a
// restarted daemon comes back with what the operator configured.
#pragma once

#include <string>

#include "chassis/config.h"
#include "chassis/ifdb.h"

namespace netp {

std::string chassisFileOfRunDir(const std::string& runDir);
std::string readFile(const std::string& path);  // std::runtime_error when unreadable
// Writes a temporary file beside path, syncs it and renames it over path.
void writeAtomically(const std::string& path, const std::string& text);
// The chassis file at base with its tunnelling section and LAG members replaced by what the
// daemon holds now, written atomically to path.
void writeState(const std::string& path, const std::string& base,
                const chassis::TunnellingConfig& tunnelling, const chassis::IfDb& db);

}  // namespace netp
