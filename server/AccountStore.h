#pragma once

#include "server/Database.h"
#include "server/PasswordHasher.h"
#include "server/Throttle.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct Account {
    std::int64_t id = 0;
    std::string email;
};

// The service's accounts: e-mail (unique, compared without case) and a salted password hash.
class AccountStore {
public:
    AccountStore(Database& database, PasswordHasher hasher);

    enum class Created { Ok, EmailTaken };
    // Hashes outside the database lock, so a registration never stalls other requests.
    Created create(std::string_view email, std::string_view password);

    enum class Outcome { Ok, UnknownUser, WrongPassword, Throttled };
    struct Authentication {
        Outcome outcome = Outcome::UnknownUser;
        Account account; // filled when outcome is Ok
        std::chrono::seconds retryAfter{0}; // when Throttled
    };
    // A password that verified before passes at once. Any other costs a slow hash, so wrong ones
    // are limited per client address, per account and address, and per account unless the
    // address signed in to it within 30 days; past a limit no hash is made. Unknown e-mails count
    // against the address as well.
    Authentication authenticate(std::string_view email, std::string_view password, std::string_view clientAddress = {});

    std::optional<Account> find(std::string_view email);

private:
    struct StoredAccount {
        Account account;
        std::string passwordHash;
    };
    std::optional<StoredAccount> lookup(std::string_view email);
    std::array<unsigned char, 32> credentialTag(std::string_view passwordHash, std::string_view password) const;
    bool verifiedBefore(const StoredAccount& stored, std::string_view password);
    void rememberVerified(const StoredAccount& stored, std::string_view password);
    bool signedInFrom(std::int64_t accountId, const std::string& address);
    void rememberAddress(std::int64_t accountId, const std::string& address);

    Database& m_database;
    PasswordHasher m_hasher;

    // The client sends basic authentication with every request; a deliberately slow hash on each
    // would cap uploads at a few per second. Passwords that verified once are remembered as a
    // keyed MAC (never in clear) under their stored hash, for this process only.
    std::array<unsigned char, 32> m_cacheKey{};
    std::mutex m_cacheMutex;
    std::unordered_map<std::string, std::array<unsigned char, 32>> m_verified;

    // Ten wrong passwords at once, then one every six seconds: nothing for a person who mistyped,
    // a few percent of one core for anyone guessing. Counted across every instance on a shared
    // database.
    Throttle m_failedLogins;

    // When this process last wrote each account's sign-in address ("id address"): the row is
    // rewritten at most once a day, so for a day every further request from there needs no
    // statement at all, and requests of one account stop queueing on its row's lock.
    std::mutex m_addressesMutex;
    std::unordered_map<std::string, std::int64_t> m_addressWritten;
};
