#pragma once

#include <optional>
#include <string>

namespace qm {

/// The computer's name (gethostname), cut to 30 bytes; "localhost" when it fails.
std::string computerName();

enum class KnownFolder { Documents, Desktop };

/// The user's folder from the XDG settings; none when no location is defined.
std::optional<std::string> knownFolderPath(KnownFolder folder);

/// The user's home folder; none when it is not known.
std::optional<std::string> homeFolderPath();

} // namespace qm
