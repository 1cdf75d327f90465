#pragma once
// The application's Documents folder: where logs and local recordings go.
#include <string>

namespace platform {

// $KESTRUNE_DOCUMENTS when set and non-empty, else $HOME/Documents (the password database's home
// when HOME is unset, else /tmp). The folder, with its parents, is created when missing, on every call, so a
// folder removed while the process runs comes back. A folder that can't be created is still
// answered; writing into it then fails where the caller writes.
std::string documentsDirectory();

}  // namespace platform
