#pragma once
// Deleting what another program may hold: a scanner looks at a file just written, an editor or
// a mounted image keeps one open. The job's deletions wait such holds out, and name the holder
// of what stayed.

#include "maintenance/tree.h"

#include <filesystem>
#include <string>

namespace murk::setup {

// Patience for the job's deletions: a user's Cancel ends the waiting.
maintenance::Patience JobPatience(bool clearReadOnly);

// Whether the entry stayed because another program had it open (a sharing or lock violation),
// or because access to it was denied. A link's failure is neither: it passes quietly.
bool InUse(const maintenance::RemoveFailure& failure);
bool AccessDenied(const maintenance::RemoveFailure& failure);

// The program that has file open, as Restart Manager names it, leaving Setup itself out; empty
// when it names none.
std::wstring HolderOf(const std::filesystem::path& file);
// The same, or "another program".
std::wstring WhoHolds(const std::filesystem::path& file);

}  // namespace murk::setup
