#include "server/ServerOptions.h"

#include "server/ClientAddress.h"
#include "server/Text.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>

std::filesystem::path ServerOptions::defaultDataDirectory()
{
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return std::filesystem::path(data) / "parcly-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/share/parcly-server";
    return "parcly-server-data";
}

database::DatabaseUrl ServerOptions::databaseUrl() const
{
    if (database.empty())
        return database::DatabaseUrl::sqliteFile(dataDirectory / "parcly.db");
    std::string problem;
    if (auto url = database::DatabaseUrl::parse(database, &problem))
        return *url;
    throw std::invalid_argument("--database " + problem);
}

StorageUrl ServerOptions::storageUrl() const
{
    if (storage.empty()) {
        StorageUrl url;
        url.path = dataDirectory;
        return url;
    }
    return StorageUrl::parse(storage);
}

std::optional<std::pair<std::string, int>> parseListenAddress(const std::string& value)
{
    std::string host = "127.0.0.1";
    std::string port = value;
    if (!value.empty() && value.front() == '[') {
        const size_t close = value.find("]:");
        if (close == std::string::npos || close < 2)
            return std::nullopt;
        host = value.substr(1, close - 1);
        port = value.substr(close + 2);
    } else if (const size_t colon = value.rfind(':'); colon != std::string::npos) {
        host = value.substr(0, colon);
        port = value.substr(colon + 1);
        if (host.empty() || host.find(':') != std::string::npos)
            return std::nullopt;
    }
    const auto number = text::parseUnsigned(port);
    if (!number || *number > 65535)
        return std::nullopt;
    return std::pair{host, static_cast<int>(*number)};
}

namespace {

bool validUrl(const std::string& url)
{
    const bool https = url.rfind("https://", 0) == 0;
    const bool http = url.rfind("http://", 0) == 0;
    if (!http && !https)
        return false;
    const std::string rest = url.substr(https ? 8 : 7);
    if (rest.empty() || rest.front() == '/')
        return false;
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\')
            return false;
    }
    return true;
}

// The usage line first, then what the program is.
class UsageFirst : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return {}; }
    std::string make_usage(const CLI::App* app, std::string name) const override
    {
        return CLI::Formatter::make_usage(app, std::move(name)) + app->get_description() + "\n";
    }
};

// Every option, bound to where its value goes. Values are checked here so a mistake stops the
// start with a message naming the option.
std::unique_ptr<CLI::App> makeParser(ServerOptions& options, bool& version, MoveOptions& move)
{
    auto app
        = std::make_unique<CLI::App>("The reference sharing service of Parcly Lite: accounts, uploads and short links.", "parcly-server");
    app->formatter(std::make_shared<UsageFirst>());
    app->get_formatter()->column_width(34);
    app->footer("Stops on SIGTERM or SIGINT. One line per request is logged on standard error.");
    const auto check = [](std::function<bool(const std::string&)> valid, std::string problem) {
        return CLI::Validator(
            [valid = std::move(valid), problem = std::move(problem)](std::string& value) { return valid(value) ? std::string() : problem; },
            "");
    };

    app->add_option_function<std::string>(
           "--listen",
           [&options](const std::string& value) { std::tie(options.listenHost, options.listenPort) = *parseListenAddress(value); },
           "address to listen on (default 127.0.0.1:8787; port 0: any free port, printed on start)")
        ->type_name("HOST:PORT")
        ->check(check([](const std::string& v) { return parseListenAddress(v).has_value(); }, "wants HOST:PORT, e.g. 127.0.0.1:8787"));
    app->add_option("--data", options.dataDirectory,
                    "where accounts, drops and the token secret live (default $XDG_DATA_HOME/parcly-server)")
        ->type_name("DIR")
        ->check(check([](const std::string& v) { return !v.empty(); }, "wants a folder"));
    app->add_option("--database", options.database,
                    "where accounts and drops are recorded: sqlite:PATH, or postgresql://[USER@]HOST[:PORT]/NAME shared by several "
                    "instances (password from PGPASSWORD or ~/.pgpass; default sqlite:DIR/parcly.db in --data)")
        ->type_name("URL")
        ->check(CLI::Validator(
            [](std::string& value) {
                std::string problem;
                return database::DatabaseUrl::parse(value, &problem) ? std::string() : problem;
            },
            ""));
    app->add_option("--storage", options.storage,
                    "where drops' bytes are kept: file:PATH, or s3://BUCKET[/PREFIX]?endpoint=URL&region=NAME[&path-style=1] shared "
                    "by several instances (keys from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN; default "
                    "file:DIR of --data)")
        ->type_name("URL")
        ->check(CLI::Validator(
            [](std::string& value) {
                try {
                    StorageUrl::parse(value);
                    return std::string();
                } catch (const StorageUrlError& error) {
                    return std::string(error.what());
                }
            },
            ""));
    app->add_option_function<std::string>(
           "--public-url", [&options](const std::string& value) { options.publicUrl = value.substr(0, value.find_last_not_of('/') + 1); },
           "origin of short links, e.g. https://drop.example.org (default http://HOST:PORT of --listen)")
        ->type_name("URL")
        ->check(check(
            [](const std::string& v) {
                const std::string url = v.substr(0, v.find_last_not_of('/') + 1);
                return validUrl(url) && url.find_first_of("?#") == std::string::npos;
            },
            "wants an http:// or https:// URL without query"));
    app->add_option("--trusted-proxy", options.trustedProxies,
                    "address of a load balancer or proxy in front (repeatable): for its connections the client is the address it "
                    "appends to X-Forwarded-For, so that limits per address count clients rather than the proxy")
        ->type_name("ADDRESS")
        ->check(check([](const std::string& v) { return ClientAddress::canonical(v).has_value(); }, "wants an IP address"));
    auto* certificate
        = app->add_option("--tls-cert", options.tlsCertificate, "serve https with this PEM certificate chain...")->type_name("FILE");
    auto* key = app->add_option("--tls-key", options.tlsKey, "...and this PEM private key")->type_name("FILE");
    certificate->needs(key);
    key->needs(certificate);
    app->add_option("--max-upload-bytes", options.maxUploadBytes, "largest upload accepted")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 50).description(""));
    app->add_option("--max-expiry", options.maxExpirySeconds,
                    "cap on the expiry an upload may ask for (expires_in), in seconds (default: no cap)")
        ->type_name("SECONDS")
        ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 40).description(""));
    app->add_option("--client-version", options.clientVersion, "full desktop client version its update feed (/appcast.xml) names")
        ->type_name("VERSION")
        ->capture_default_str()
        ->check(check([](const std::string& v) { return !v.empty() && v.size() <= 64 && text::isValidUtf8(v); },
                      "wants a version such as 1.2.0"));
    app->add_option("--lite-version", options.liteVersion, "Parcly Lite version its own update feed (/lite/appcast.xml) names")
        ->type_name("VERSION")
        ->capture_default_str()
        ->check(check([](const std::string& v) { return !v.empty() && v.size() <= 64 && text::isValidUtf8(v); },
                      "wants a version such as 1.2.0"));
    app->add_option("--client-download-url", options.clientDownloadUrl, "where the download page sends people for the desktop client")
        ->type_name("URL")
        ->check(check(validUrl, "wants an http:// or https:// URL"));
    app->add_option("--password-iterations", options.passwordIterations, "PBKDF2 iterations for new passwords")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(PasswordHasher::kMinimumIterations, 50'000'000u).description(""));
    app->add_option("--threads", options.threads, "threads serving connections (an event loop each)")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1024u).description(""));
    // For tests: how fast a body must keep arriving, and how long a registration body may take.
    app->add_option("--body-min-rate", options.bodyMinimumRate, "bytes a second a body must average")
        ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 30).description(""))
        ->group("");
    app->add_option("--body-window", options.bodyWindowSeconds, "seconds the body rate is averaged over")
        ->check(CLI::Range(1u, 3600u).description(""))
        ->group("");
    app->add_option("--short-body-deadline", options.shortBodyDeadlineSeconds, "seconds a registration body may take")
        ->check(CLI::Range(1u, 3600u).description(""))
        ->group("");
    app->add_option("--sweep-interval", options.sweepIntervalSeconds, "seconds between sweeps of expired drops")
        ->check(CLI::Range(1u, 86400u).description(""))
        ->group("");
    app->add_option("--object-sweep-interval", options.objectSweepIntervalSeconds,
                    "seconds between sweeps of what stopped servers left in the bucket")
        ->check(CLI::Range(1u, 86400u).description(""))
        ->group("");
    app->add_option("--orphan-age", options.orphanAgeSeconds, "seconds before an object without a drop is removed")
        ->check(CLI::Range(0u, 30u * 86400u).description(""))
        ->group("");
    app->add_option("--registration-queue", options.registrationQueue, "registrations that may wait for a hash worker")
        ->check(CLI::Range(0u, 10000u).description(""))
        ->group("");
    app->add_flag("--version", version, "show the version and exit");
    app->add_subcommand("rotate-signing-key",
                        "replace the secret tokens are signed with (in --database), so every token issued so far stops being valid; "
                        "running instances take it up when restarted")
        ->fallthrough();
    CLI::App* migrate = app->add_subcommand("migrate",
                                            "copy accounts and drops to other backends, keeping every short link: each drop's bytes "
                                            "are checked (size and SHA-256) before its row is written; run again, it resumes");
    migrate->fallthrough();
    migrate->add_option("--from", move.from, "the database to copy (default: --database, or the --data folder's)")->type_name("URL");
    migrate->add_option("--from-storage", move.fromStorage, "where its drops' bytes are (default: --storage, or the --data folder)")
        ->type_name("URL");
    migrate->add_option("--to", move.to, "the database to copy into, e.g. postgresql://HOST/NAME")->type_name("URL")->required();
    migrate->add_option("--to-storage", move.toStorage, "where the bytes go, e.g. s3://BUCKET?endpoint=URL&region=NAME")
        ->type_name("URL")
        ->required();
    return app;
}

} // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments)
{
    ParsedCommandLine parsed;
    parsed.options.dataDirectory = ServerOptions::defaultDataDirectory();
    bool version = false;
    const auto app = makeParser(parsed.options, version, parsed.move);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        parsed.action = ParsedCommandLine::Action::Help;
        return parsed;
    } catch (const CLI::ParseError& error) {
        parsed.action = ParsedCommandLine::Action::Fail;
        parsed.error = error.what();
        return parsed;
    }
    if (version)
        parsed.action = ParsedCommandLine::Action::Version;
    else if (app->got_subcommand("rotate-signing-key"))
        parsed.action = ParsedCommandLine::Action::RotateSigningKey;
    else if (app->got_subcommand("migrate"))
        parsed.action = ParsedCommandLine::Action::Migrate;
    return parsed;
}

std::string usage()
{
    ServerOptions defaults;
    bool version = false;
    MoveOptions move;
    return makeParser(defaults, version, move)->help() + "\n";
}
