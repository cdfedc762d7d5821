#pragma once

#include "server/AccountStore.h"

#include <httplib.h>

#include <chrono>
#include <string>

// HTTP basic authentication against the account store, with the error codes the client reads.
class Authenticator {
public:
    static constexpr const char* kUnknownUser = "Authentication.UnknownUser";
    static constexpr const char* kWrongPassword = "Authentication.WrongPassword";
    static constexpr const char* kMissing = "Authentication.Missing";
    static constexpr const char* kThrottled = "Authentication.TooManyAttempts";

    explicit Authenticator(AccountStore& accounts)
        : m_accounts(accounts)
    {
    }

    struct Result {
        bool ok = false;
        Account account;
        const char* errorCode = kMissing;
        std::string message;
        std::chrono::seconds retryAfter{0}; // set when too many wrong passwords came first
    };
    Result authenticate(const httplib::Request& request) const;

    // 401 with the result's code and a basic-authentication challenge; 429 with Retry-After when
    // the password could not be checked for now.
    static void refuse(httplib::Response& response, const Result& result);

private:
    AccountStore& m_accounts;
};
