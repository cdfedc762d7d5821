#include "server/ServerOptions.h"

#include "server/Text.h"

#include <cstdlib>
#include <functional>
#include <map>

std::filesystem::path ServerOptions::defaultDataDirectory()
{
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return std::filesystem::path(data) / "parcly-server";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/share/parcly-server";
    return "parcly-server-data";
}

std::string usage()
{
    return R"(Usage: parcly-server [OPTION]...
The reference sharing service of Parcly Lite: accounts, uploads and short links.

  --listen HOST:PORT          address to listen on (default 127.0.0.1:8787; port 0 picks a free
                              port; the address in use is printed on standard output)
  --data DIR                  where accounts, drops and the token secret live
                              (default $XDG_DATA_HOME/parcly-server)
  --public-url URL            origin of short links, e.g. https://drop.example.org
                              (default http://HOST:PORT of --listen)
  --tls-cert FILE             serve https with this PEM certificate chain...
  --tls-key FILE              ...and this PEM private key
  --max-upload-bytes N        largest upload accepted (default 2147483648)
  --client-version VERSION    desktop client version the update feed names (default 1.0.0)
  --client-download-url URL   where the download page sends people for the desktop client
  --password-iterations N     PBKDF2 iterations for new passwords (default 600000)
  --threads N                 requests served in parallel (default 16)
  --help                      show this help and exit
  --version                   show the version and exit

Stops on SIGTERM or SIGINT. One line per request is logged on standard error.
)";
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

} // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments)
{
    ParsedCommandLine parsed;
    ServerOptions& options = parsed.options;
    options.dataDirectory = ServerOptions::defaultDataDirectory();

    const auto fail = [&parsed](std::string message) {
        parsed.action = ParsedCommandLine::Action::Fail;
        parsed.error = std::move(message);
        return parsed;
    };
    const auto positive = [](const std::string& value, std::uint64_t maximum) -> std::optional<std::uint64_t> {
        const auto number = text::parseUnsigned(value);
        if (!number || *number == 0 || *number > maximum)
            return std::nullopt;
        return number;
    };

    using Setter = std::function<std::optional<std::string>(const std::string&)>;
    const std::map<std::string, Setter> setters = {
        {"--listen", [&](const std::string& v) -> std::optional<std::string> {
             const auto address = parseListenAddress(v);
             if (!address)
                 return "--listen wants HOST:PORT, e.g. 127.0.0.1:8787";
             std::tie(options.listenHost, options.listenPort) = *address;
             return std::nullopt;
         }},
        {"--data", [&](const std::string& v) -> std::optional<std::string> {
             if (v.empty())
                 return "--data wants a folder";
             options.dataDirectory = v;
             return std::nullopt;
         }},
        {"--public-url", [&](const std::string& v) -> std::optional<std::string> {
             std::string url = v;
             while (!url.empty() && url.back() == '/')
                 url.pop_back();
             if (!validUrl(url) || url.find_first_of("?#") != std::string::npos)
                 return "--public-url wants an http:// or https:// URL without query";
             options.publicUrl = url;
             return std::nullopt;
         }},
        {"--tls-cert", [&](const std::string& v) -> std::optional<std::string> {
             options.tlsCertificate = v;
             return std::nullopt;
         }},
        {"--tls-key", [&](const std::string& v) -> std::optional<std::string> {
             options.tlsKey = v;
             return std::nullopt;
         }},
        {"--max-upload-bytes", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = positive(v, std::uint64_t(1) << 50);
             if (!n)
                 return "--max-upload-bytes wants a positive number of bytes";
             options.maxUploadBytes = *n;
             return std::nullopt;
         }},
        {"--client-version", [&](const std::string& v) -> std::optional<std::string> {
             if (v.empty() || v.size() > 64 || !text::isValidUtf8(v))
                 return "--client-version wants a version such as 1.2.0";
             options.clientVersion = v;
             return std::nullopt;
         }},
        {"--client-download-url", [&](const std::string& v) -> std::optional<std::string> {
             if (!validUrl(v))
                 return "--client-download-url wants an http:// or https:// URL";
             options.clientDownloadUrl = v;
             return std::nullopt;
         }},
        {"--password-iterations", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = positive(v, 50'000'000);
             if (!n || *n < PasswordHasher::kMinimumIterations)
                 return "--password-iterations wants a number from " + std::to_string(PasswordHasher::kMinimumIterations);
             options.passwordIterations = static_cast<unsigned>(*n);
             return std::nullopt;
         }},
        {"--threads", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = positive(v, 1024);
             if (!n)
                 return "--threads wants a number from 1 to 1024";
             options.threads = static_cast<unsigned>(*n);
             return std::nullopt;
         }},
    };

    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (const size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "--help" || name == "-h") {
            parsed.action = ParsedCommandLine::Action::Help;
            return parsed;
        }
        if (name == "--version") {
            parsed.action = ParsedCommandLine::Action::Version;
            return parsed;
        }
        const auto setter = setters.find(name);
        if (setter == setters.end())
            return fail("unknown option " + name);
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail(name + " wants a value");
            value = arguments[++i];
        }
        if (auto problem = setter->second(*value))
            return fail(*problem);
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty())
        return fail("--tls-cert and --tls-key go together");
    return parsed;
}
