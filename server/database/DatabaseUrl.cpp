#include "server/database/DatabaseUrl.h"

#include <libpq-fe.h>

#include <memory>

namespace database {

namespace {

bool startsWith(const std::string& text, std::string_view prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The user-info part of a URI's authority holds a password when it has a colon.
bool uriHoldsPassword(const std::string& uri)
{
    const size_t start = uri.find("://") + 3;
    const size_t authorityEnd = std::min(uri.find_first_of("/?#", start), uri.size());
    const std::string authority = uri.substr(start, authorityEnd - start);
    const size_t at = authority.rfind('@');
    return at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos;
}

} // namespace

std::optional<DatabaseUrl> DatabaseUrl::parse(const std::string& text, std::string* problem)
{
    const auto fail = [problem](const std::string& why) -> std::optional<DatabaseUrl> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    if (startsWith(text, "sqlite:")) {
        const std::string path = text.substr(7);
        if (path.empty() || startsWith(path, "//"))
            return fail("wants sqlite:PATH, e.g. sqlite:/var/lib/parcly-server/parcly.db");
        return sqliteFile(path);
    }
    if (!startsWith(text, "postgresql://") && !startsWith(text, "postgres://"))
        return fail("wants sqlite:PATH or postgresql://[USER@]HOST[:PORT]/DATABASE");

    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (!options) {
        std::string why = error ? error : "out of memory";
        PQfreemem(error);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        return fail("is not a PostgreSQL URI: " + why);
    }
    bool password = false;
    for (const PQconninfoOption* option = options; option->keyword; ++option) {
        if (std::string_view(option->keyword) == "password" && option->val && *option->val)
            password = true;
    }
    PQconninfoFree(options);
    if (password || uriHoldsPassword(text))
        return fail("must not hold a password (any local user can read a command line): put it in PGPASSWORD or ~/.pgpass");

    DatabaseUrl url;
    url.engine = Database::Engine::Postgresql;
    url.conninfo = text;
    return url;
}

DatabaseUrl DatabaseUrl::sqliteFile(const std::filesystem::path& file)
{
    DatabaseUrl url;
    url.engine = Database::Engine::Sqlite;
    url.file = file;
    return url;
}

std::unique_ptr<Database> DatabaseUrl::open() const
{
    if (engine == Database::Engine::Sqlite)
        return std::make_unique<Database>(file);
    return std::make_unique<Database>(Database::Postgresql{conninfo});
}

std::string DatabaseUrl::describe() const
{
    if (engine == Database::Engine::Sqlite)
        return file.string();
    return conninfo.substr(0, conninfo.find('?'));
}

} // namespace database
