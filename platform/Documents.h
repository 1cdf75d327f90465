#pragma once
// The application's Documents folder: where logs and local recordings go.
#include <optional>
#include <string>

namespace platform {

// $KESTRUNE_DOCUMENTS when set and non-empty, else the home's Documents. The folder is created
// (mode 0700, its parents as usual) when missing, on every call, so a folder removed while the
// process runs comes back. A folder that can't be created is still answered; writing into it then
// fails where the caller writes.
std::string documentsDirectory();

// $HOME when set and non-empty; else the password database's home of the effective user, when that
// is a folder of theirs; else a folder this process makes under the temporary folder with a name
// nobody can take first, mode 0700 (never a fixed name there, which any local user could make
// first). When not even that can be made, a path under which nothing can be written.
std::string homeDirectory();
// The same choice for a given $HOME (null when unset) and password-database home.
std::string homeDirectoryFrom(const char* home, const std::optional<std::string>& passwordHome);

}  // namespace platform
