#pragma once

#include "server/Database.h"

#include <filesystem>
#include <optional>
#include <string>

namespace database {

// The secret tokens are signed with lives in the database, so that every instance on it signs
// and verifies alike. Made at the first start; `earlierFile`, the file a server kept it in before,
// is taken over when there is one, so tokens already issued stay valid.
std::string loadOrCreateSigningSecret(Database& database, const std::optional<std::filesystem::path>& earlierFile = {});

// A new secret in place of the old: every token issued so far stops being valid. Running
// instances take it up when they restart.
void replaceSigningSecret(Database& database);

} // namespace database
