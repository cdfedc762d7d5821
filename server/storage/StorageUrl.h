#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// A --storage value that cannot be used; the message says what is wrong with it.
class StorageUrlError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Where an S3-compatible bucket is and how to address it.
struct S3Location {
    std::string bucket;
    std::string prefix; // without leading or trailing '/'; empty: the whole bucket
    std::string endpoint; // scheme://host[:port], without a trailing '/'
    std::string region;
    bool pathStyle = false; // endpoint/bucket/key rather than bucket.host/key
};

// Where drop bytes are kept:
//   file:PATH                                                           a folder
//   s3://BUCKET[/PREFIX]?endpoint=URL&region=NAME[&path-style=1]         a bucket
// Query values may be percent-encoded.
struct StorageUrl {
    enum class Kind { File, S3 };
    Kind kind = Kind::File;
    std::filesystem::path path; // Kind::File
    S3Location s3; // Kind::S3

    // Throws StorageUrlError naming the fault.
    static StorageUrl parse(std::string_view text);
};

// The keys requests are signed with, from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and the
// optional AWS_SESSION_TOKEN.
struct S3Credentials {
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken; // empty: none

    // Throws std::runtime_error naming the missing variables.
    static S3Credentials fromEnvironment();
};
