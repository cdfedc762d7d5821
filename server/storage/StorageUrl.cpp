#include "server/storage/StorageUrl.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <vector>

namespace {

[[noreturn]] void reject(std::string_view text, const std::string& why)
{
    throw StorageUrlError("storage '" + std::string(text) + "': " + why);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view url, std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        const int high = i + 2 < value.size() ? hexValue(value[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(value[i + 2]) : -1;
        if (low < 0)
            reject(url, "bad percent-encoding in '" + std::string(value) + "'");
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// The rules every S3 implementation accepts: 3 to 63 lowercase letters, digits, '.' and '-',
// starting and ending with a letter or digit.
bool validBucketName(std::string_view name)
{
    if (name.size() < 3 || name.size() > 63)
        return false;
    const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!alnum(name.front()) || !alnum(name.back()))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return alnum(c) || c == '.' || c == '-'; });
}

std::string checkedEndpoint(std::string_view url, std::string endpoint)
{
    const size_t schemeEnd = endpoint.find("://");
    const std::string scheme = schemeEnd == std::string::npos ? std::string() : endpoint.substr(0, schemeEnd);
    if (scheme != "http" && scheme != "https")
        reject(url, "endpoint '" + endpoint + "' must start with http:// or https://");
    const std::string rest = endpoint.substr(schemeEnd + 3);
    if (rest.empty() || rest.front() == ':' || rest.front() == '/')
        reject(url, "endpoint '" + endpoint + "' names no host");
    while (endpoint.ends_with('/'))
        endpoint.pop_back();
    if (rest.find_first_of("?#@") != std::string::npos)
        reject(url, "endpoint '" + endpoint + "' may only be scheme://host[:port][/path]");
    return endpoint;
}

// Whether the endpoint's host is an IPv4 or IPv6 address rather than a name.
bool hostIsAddress(const std::string& endpoint)
{
    const std::string host = endpoint.substr(endpoint.find("://") + 3);
    if (host.starts_with('['))
        return true;
    const std::string name = host.substr(0, host.find_first_of(":/"));
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool flag(std::string_view url, std::string_view name, const std::string& value)
{
    if (value == "1" || value == "true")
        return true;
    if (value == "0" || value == "false")
        return false;
    reject(url, std::string(name) + " must be 1 or 0, not '" + value + "'");
}

S3Location parseS3(std::string_view text)
{
    std::string_view rest = text.substr(5); // after "s3://"
    const size_t queryStart = rest.find('?');
    const std::string_view query = queryStart == std::string_view::npos ? std::string_view() : rest.substr(queryStart + 1);
    const std::string_view bucketAndPrefix = rest.substr(0, queryStart);

    S3Location location;
    const size_t slash = bucketAndPrefix.find('/');
    location.bucket = std::string(bucketAndPrefix.substr(0, slash));
    if (location.bucket.empty())
        reject(text, "no bucket: write s3://BUCKET[/PREFIX]?endpoint=URL&region=NAME");
    if (!validBucketName(location.bucket))
        reject(text, "'" + location.bucket + "' is not a bucket name (3-63 lowercase letters, digits, '.' and '-')");
    if (slash != std::string_view::npos) {
        std::string_view prefix = bucketAndPrefix.substr(slash + 1);
        while (prefix.starts_with('/'))
            prefix.remove_prefix(1);
        while (prefix.ends_with('/'))
            prefix.remove_suffix(1);
        location.prefix = percentDecode(text, prefix);
    }

    std::set<std::string> seen;
    size_t at = 0;
    while (at < query.size()) {
        const size_t end = std::min(query.find('&', at), query.size());
        const std::string_view pair = query.substr(at, end - at);
        at = end + 1;
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        const std::string name(pair.substr(0, equals));
        const std::string value = equals == std::string_view::npos ? std::string() : percentDecode(text, pair.substr(equals + 1));
        if (!seen.insert(name).second)
            reject(text, name + " is given twice");
        if (name == "endpoint")
            location.endpoint = checkedEndpoint(text, value);
        else if (name == "region")
            location.region = value;
        else if (name == "path-style")
            location.pathStyle = flag(text, name, value);
        else
            reject(text, "unknown parameter '" + name + "' (known: endpoint, region, path-style)");
    }
    if (location.endpoint.empty())
        reject(text, "missing endpoint=URL (the S3 service, e.g. endpoint=https://s3.example.net)");
    if (location.region.empty())
        reject(text, "missing region=NAME (the region requests are signed for, e.g. region=us-east-1)");
    if (!location.pathStyle && hostIsAddress(location.endpoint))
        reject(text, "an endpoint named by its address cannot take the bucket in its host name: add path-style=1");
    return location;
}

} // namespace

StorageUrl StorageUrl::parse(std::string_view text)
{
    StorageUrl url;
    if (text.starts_with("file:")) {
        std::string_view path = text.substr(5);
        if (path.starts_with("//")) // file:///srv/drops: an empty authority before the path
            path.remove_prefix(2);
        if (path.empty())
            reject(text, "no folder: write file:PATH");
        url.kind = Kind::File;
        url.path = std::filesystem::path(std::string(path));
        return url;
    }
    if (text.starts_with("s3://")) {
        url.kind = Kind::S3;
        url.s3 = parseS3(text);
        return url;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        reject(text, "not a storage URL: write file:PATH or s3://BUCKET[/PREFIX]?endpoint=URL&region=NAME");
    reject(text, "unknown scheme '" + std::string(text.substr(0, colon)) + ":' (known: file:, s3://)");
}

S3Credentials S3Credentials::fromEnvironment()
{
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::string(value) : std::string();
    };
    S3Credentials credentials{variable("AWS_ACCESS_KEY_ID"), variable("AWS_SECRET_ACCESS_KEY"), variable("AWS_SESSION_TOKEN")};
    std::vector<std::string> missing;
    if (credentials.accessKeyId.empty())
        missing.emplace_back("AWS_ACCESS_KEY_ID");
    if (credentials.secretAccessKey.empty())
        missing.emplace_back("AWS_SECRET_ACCESS_KEY");
    if (!missing.empty()) {
        std::string names = missing.front();
        if (missing.size() > 1)
            names += " and " + missing.back();
        throw std::runtime_error("s3 storage needs credentials: set " + names);
    }
    return credentials;
}
