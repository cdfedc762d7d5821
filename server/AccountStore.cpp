#include "server/AccountStore.h"

#include "server/TokenSigner.h"
#include "server/database/TableAllowances.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

constexpr size_t kMaximumRemembered = 100000;
constexpr std::chrono::seconds kAddressRemembered = std::chrono::hours(24 * 30);
constexpr std::int64_t kAddressRewrittenAfter = 86400; // seconds, as in rememberAddress's statement

std::unique_ptr<Throttle::Allowances> failedLoginAllowances(Database& database)
{
    const Throttle::Rate rate(10, std::chrono::seconds(6));
    if (database.sharedBetweenInstances())
        return std::make_unique<database::TableAllowances>(database, "sign-in", rate);
    return Throttle::inMemory(rate);
}

} // namespace

AccountStore::AccountStore(Database& database, PasswordHasher hasher)
    : m_database(database)
    , m_hasher(hasher)
    , m_failedLogins(failedLoginAllowances(database))
{
    if (RAND_bytes(m_cacheKey.data(), static_cast<int>(m_cacheKey.size())) != 1)
        throw std::runtime_error("no random bytes for the credential cache");
}

AccountStore::Created AccountStore::create(std::string_view email, std::string_view password)
{
    if (lookup(email))
        return Created::EmailTaken;
    const std::string hash = m_hasher.hash(password);
    auto session = m_database.session();
    try {
        session.prepare("INSERT INTO accounts (email, password_hash, created_at) VALUES (?, ?, ?)")
            .bind(1, email)
            .bind(2, hash)
            .bind(3, TokenSigner::now())
            .step();
    } catch (const DatabaseError& error) {
        // Registered by a concurrent request between our lookup and the insert.
        if (error.isConstraintViolation())
            return Created::EmailTaken;
        throw;
    }
    return Created::Ok;
}

std::optional<AccountStore::StoredAccount> AccountStore::lookup(std::string_view email)
{
    auto session = m_database.reader();
    auto query = session.prepare("SELECT id, email, password_hash FROM accounts WHERE lower(email) = lower(?)");
    query.bind(1, email);
    if (!query.step())
        return std::nullopt;
    return StoredAccount{{query.integer(0), query.text(1)}, query.text(2)};
}

std::optional<Account> AccountStore::find(std::string_view email)
{
    auto stored = lookup(email);
    if (!stored)
        return std::nullopt;
    return stored->account;
}

AccountStore::Authentication AccountStore::authenticate(std::string_view email, std::string_view password, std::string_view clientAddress)
{
    const std::string address(clientAddress);
    const auto stored = lookup(email);
    if (!stored) {
        // No hash is made, but probing which e-mails have accounts is guessing too.
        if (const auto wait = m_failedLogins.take({"address " + address}); wait.count() > 0)
            return {Outcome::Throttled, {}, wait};
        return {Outcome::UnknownUser, {}};
    }
    if (verifiedBefore(*stored, password)) {
        rememberAddress(stored->account.id, address);
        return {Outcome::Ok, stored->account};
    }
    // Taken before hashing, so that parallel guesses cannot all slip past the count. The account
    // as a whole is slowed down too, but not for an address its owner signed in from lately:
    // guesses from elsewhere must not lock the owner out.
    const std::string account = std::to_string(stored->account.id);
    std::vector<std::string> keys = {"address " + address, "account " + account + " from " + address};
    if (!signedInFrom(stored->account.id, address))
        keys.push_back("account " + account);
    if (const auto wait = m_failedLogins.take(keys); wait.count() > 0)
        return {Outcome::Throttled, {}, wait};
    if (!m_hasher.verify(password, stored->passwordHash))
        return {Outcome::WrongPassword, {}};
    m_failedLogins.giveBack(keys);
    rememberVerified(*stored, password);
    rememberAddress(stored->account.id, address);
    return {Outcome::Ok, stored->account};
}

bool AccountStore::signedInFrom(std::int64_t accountId, const std::string& address)
{
    if (address.empty())
        return false;
    auto session = m_database.reader();
    auto query = session.prepare("SELECT 1 FROM sign_in_addresses WHERE account_id = ? AND address = ? AND signed_in_at >= ?");
    query.bind(1, accountId).bind(2, address).bind(3, TokenSigner::now() - kAddressRemembered.count());
    return query.step();
}

// Every sign-in, also one that costs no hash, keeps its address known; a row is rewritten at most
// once a day.
void AccountStore::rememberAddress(std::int64_t accountId, const std::string& address)
{
    if (address.empty())
        return;
    const std::int64_t now = TokenSigner::now();
    const std::string key = std::to_string(accountId) + ' ' + address;
    {
        std::lock_guard lock(m_addressesMutex);
        const auto written = m_addressWritten.find(key);
        if (written != m_addressWritten.end() && now - written->second < kAddressRewrittenAfter)
            return;
    }
    try {
        auto session = m_database.session();
        session
            .prepare("INSERT INTO sign_in_addresses (account_id, address, signed_in_at) VALUES (?, ?, ?) "
                     "ON CONFLICT (account_id, address) DO UPDATE SET signed_in_at = excluded.signed_in_at "
                     "WHERE sign_in_addresses.signed_in_at < excluded.signed_in_at - 86400")
            .bind(1, accountId)
            .bind(2, address)
            .bind(3, now)
            .step();
        std::lock_guard lock(m_addressesMutex);
        if (m_addressWritten.size() >= kMaximumRemembered)
            m_addressWritten.clear();
        m_addressWritten[key] = now;
    } catch (const DatabaseError&) {
        // Only a convenience for later sign-ins (a full disk, say): the sign-in itself stands.
    }
}

std::array<unsigned char, 32> AccountStore::credentialTag(std::string_view passwordHash, std::string_view password) const
{
    std::string message(passwordHash);
    message += '\0';
    message += password;
    std::array<unsigned char, 32> tag{};
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), m_cacheKey.data(), static_cast<int>(m_cacheKey.size()), reinterpret_cast<const unsigned char*>(message.data()),
              message.size(), tag.data(), &length))
        throw std::runtime_error("HMAC failed");
    OPENSSL_cleanse(message.data(), message.size());
    return tag;
}

bool AccountStore::verifiedBefore(const StoredAccount& stored, std::string_view password)
{
    const auto tag = credentialTag(stored.passwordHash, password);
    std::lock_guard lock(m_cacheMutex);
    const auto found = m_verified.find(stored.passwordHash);
    return found != m_verified.end() && CRYPTO_memcmp(found->second.data(), tag.data(), tag.size()) == 0;
}

void AccountStore::rememberVerified(const StoredAccount& stored, std::string_view password)
{
    const auto tag = credentialTag(stored.passwordHash, password);
    std::lock_guard lock(m_cacheMutex);
    if (m_verified.size() >= kMaximumRemembered)
        m_verified.clear();
    m_verified[stored.passwordHash] = tag;
}
