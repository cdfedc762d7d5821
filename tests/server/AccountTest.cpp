// Accounts as the client sees them: registration, the bearer token, /users/me, and the error
// codes it relies on when credentials are wrong.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

const QByteArray::Base64Options kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

// The signing secret as the server keeps it: hex in the database's one signing_key row.
std::string storedSecret(const std::filesystem::path& data)
{
    sqlite3* db = nullptr;
    std::string hex;
    if (sqlite3_open_v2((data / "parcly.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT secret FROM signing_key WHERE id = 1", -1, &query, nullptr) == SQLITE_OK
            && sqlite3_step(query) == SQLITE_ROW)
            hex = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString();
}

// Checks an HS256 token with the server's secret, independently of the server's own code;
// returns its claims, or an empty object when anything is off.
QJsonObject verifiedClaims(const std::string& token, const std::string& secret)
{
    const QList<QByteArray> parts = QByteArray::fromStdString(token).split('.');
    if (parts.size() != 3)
        return {};
    const QJsonObject header = QJsonDocument::fromJson(QByteArray::fromBase64(parts[0], kBase64Url)).object();
    if (header.value("alg").toString() != "HS256")
        return {};
    const QByteArray signingInput = parts[0] + '.' + parts[1];
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(signingInput.constData()),
         static_cast<size_t>(signingInput.size()), mac, &length);
    if (QByteArray(reinterpret_cast<const char*>(mac), static_cast<int>(length)).toBase64(kBase64Url) != parts[2])
        return {};
    return QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], kBase64Url)).object();
}

std::string bearerToken(const httplib::Result& result)
{
    const std::string value = result->get_header_value("x-parcly-authorization");
    return value.rfind("Bearer ", 0) == 0 ? value.substr(7) : std::string();
}

class AccountTest : public ::testing::Test {
protected:
    std::string secret() const { return storedSecret(service.dataDirectory()); }

    httplib::Result postAccount(const std::string& body) { return service.client().Post("/account", body, "application/json"); }

    httplib::Result me(const httplib::Headers& headers) { return service.client().Get("/users/me", headers); }

    RunningService service;
};

TEST_F(AccountTest, RegisteringAnswers201WithATokenSignedByTheServersPrivateSecret)
{
    auto result = postAccount(R"({"email":"ada@parcly.test","password":"correct horse"})");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 201);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(jsonObject(result->body).value("email").toString(), "ada@parcly.test");

    const QJsonObject claims = verifiedClaims(bearerToken(result), secret());
    EXPECT_EQ(claims.value("sub").toString(), "ada@parcly.test");
    EXPECT_GT(claims.value("exp").toDouble(), claims.value("iat").toDouble());
    EXPECT_NEAR(claims.value("iat").toDouble(), static_cast<double>(std::time(nullptr)), 60);

    EXPECT_GE(secret().size(), 32u);
    // The database holds it: private to the server, with the journal files SQLite makes beside it.
    struct stat info { };
    for (const char* name : {"parcly.db", "parcly.db-wal", "parcly.db-shm"}) {
        ASSERT_EQ(::stat((service.dataDirectory() / name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
}

TEST_F(AccountTest, RegisteringRefusesTakenAddressesAndMalformedBodies)
{
    ASSERT_EQ(postAccount(R"({"email":"bob@parcly.test","password":"one"})")->status, 201);
    EXPECT_EQ(postAccount(R"({"email":"bob@parcly.test","password":"two"})")->status, 409);
    EXPECT_EQ(postAccount(R"({"email":"BOB@Parcly.test","password":"two"})")->status, 409) << "addresses differ only in case";

    for (const char* body :
         {"", "not json", R"({"email":"c@parcly.test","password":"x")", R"(["c@parcly.test","x"])", R"({"email":"c@parcly.test"})",
          R"({"password":"x"})", R"({"email":"","password":"x"})", R"({"email":"c@parcly.test","password":""})",
          R"({"email":42,"password":"x"})", R"({"email":"no-at-sign","password":"x"})", R"({"email":"a:b@parcly.test","password":"x"})",
          R"({"email":"c\u202e@parcly.test","password":"x"})", R"({"email":"c\u200f@parcly.test","password":"x"})",
          R"({"email":"c@parcly\u061c.test","password":"x"})"}) {
        auto result = postAccount(body);
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << body;
        EXPECT_TRUE(result->get_header_value("x-parcly-authorization").empty()) << body;
    }
    // None of those made an account.
    EXPECT_EQ(me(basicAuthorization({"c@parcly.test", "x"}))->status, 401);
}

TEST_F(AccountTest, UsersMeCountsTheAccountsDropsAndHandsOutAFreshToken)
{
    const Credentials ada = registerAccount(service);
    const Credentials bob = registerAccount(service);
    auto before = me(basicAuthorization(ada));
    ASSERT_TRUE(before);
    EXPECT_EQ(before->status, 200);
    EXPECT_EQ(jsonObject(before->body).value("activeDrops").toInt(-1), 0);
    EXPECT_EQ(jsonObject(before->body).value("email").toString().toStdString(), ada.email);

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(upload(service, ada, {"drop " + std::to_string(i)})->status, 201);
    ASSERT_EQ(upload(service, bob, {"someone else's"})->status, 201);

    auto after = me(basicAuthorization(ada));
    ASSERT_TRUE(after);
    const QJsonValue count = jsonObject(after->body).value("activeDrops");
    EXPECT_TRUE(count.isDouble()) << "activeDrops must be a JSON number";
    EXPECT_EQ(count.toInt(), 3);
    EXPECT_EQ(verifiedClaims(bearerToken(after), secret()).value("sub").toString().toStdString(), ada.email);
}

TEST_F(AccountTest, WrongCredentialsAnswer401WithTheCodeTheClientReads)
{
    const Credentials ada = registerAccount(service);
    struct Case {
        const char* what;
        httplib::Headers headers;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"unknown e-mail", basicAuthorization({"nobody@parcly.test", ada.password}), "Authentication.UnknownUser"},
        {"wrong password", basicAuthorization({ada.email, "not it"}), "Authentication.WrongPassword"},
        {"no credentials", {}, "Authentication.Missing"},
        {"not Base64", {{"Authorization", "Basic !!!"}}, "Authentication.Missing"},
        {"no colon", {{"Authorization", "Basic " + toBase64(ada.email)}}, "Authentication.Missing"},
        {"other scheme", {{"Authorization", "Bearer abc"}}, "Authentication.Missing"},
    };
    for (const Case& c : cases) {
        for (const bool uploading : {false, true}) {
            httplib::Headers headers = c.headers;
            headers.emplace("x-parcly-filename", toBase64("a.txt"));
            auto result = uploading ? service.client().Post("/files", headers, "bytes", "text/plain") : me(headers);
            ASSERT_TRUE(result) << c.what;
            EXPECT_EQ(result->status, 401) << c.what << (uploading ? " (upload)" : " (users/me)");
            EXPECT_EQ(result->get_header_value("parcly-errorcode"), c.code) << c.what;
            EXPECT_EQ(result->get_header_value("WWW-Authenticate").rfind("Basic realm=", 0), 0u) << c.what;
        }
    }
    // The right password still works after all those failures.
    EXPECT_EQ(me(basicAuthorization(ada))->status, 200);
}

TEST_F(AccountTest, GuessesAndMassRegistrationsAreThrottledWhileKnownClientsGoOn)
{
    // A web page can post a form to a loopback service, but not as JSON.
    auto form = service.client().Post("/account", "email=f%40parcly.test&password=x", "application/x-www-form-urlencoded");
    ASSERT_TRUE(form);
    EXPECT_EQ(form->status, 415);
    EXPECT_EQ(me(basicAuthorization({"f@parcly.test", "x"}))->get_header_value("parcly-errorcode"), "Authentication.UnknownUser");

    const Credentials ada = registerAccount(service);
    ASSERT_EQ(me(basicAuthorization(ada))->status, 200);
    int checked = 0;
    std::optional<httplib::Response> refused;
    for (int i = 0; i < 12 && !refused; ++i) {
        auto answer = me(basicAuthorization({ada.email, "guess " + std::to_string(i)}));
        ASSERT_TRUE(answer);
        if (answer->status == 401)
            ++checked;
        else
            refused = *answer;
    }
    // Ten attempts per address, the unknown e-mail above one of them.
    EXPECT_EQ(checked, 9);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 429);
    EXPECT_EQ(refused->get_header_value("parcly-errorcode"), "Authentication.TooManyAttempts");
    const int retryAfter = std::atoi(refused->get_header_value("Retry-After").c_str());
    EXPECT_TRUE(retryAfter >= 1 && retryAfter <= 6) << refused->get_header_value("Retry-After");
    httplib::Headers guess = basicAuthorization({ada.email, "one more"});
    guess.emplace("x-parcly-filename", toBase64("a.txt"));
    EXPECT_EQ(service.client().Post("/files", guess, "bytes", "text/plain")->status, 429) << "uploads are guarded too";
    // The owner, whose password verified before, costs no hash and is still served.
    EXPECT_EQ(me(basicAuthorization(ada))->status, 200);

    // Registrations from one address: a burst of ten (ada's included), then refused.
    int registered = 1;
    std::optional<httplib::Response> lastRegistration;
    for (int i = 0; i < 12; ++i) {
        auto answer = postAccount(R"({"email":"many)" + std::to_string(i) + R"(@parcly.test","password":"pw"})");
        ASSERT_TRUE(answer);
        lastRegistration = *answer;
        if (answer->status != 201)
            break;
        ++registered;
    }
    EXPECT_EQ(registered, 10);
    EXPECT_EQ(lastRegistration->status, 429);
    EXPECT_FALSE(lastRegistration->get_header_value("Retry-After").empty());
}

// GET /users/me from a given loopback address; the status and the error code.
std::pair<int, std::string> signInFrom(const RunningService& service, const std::string& from, const Credentials& who)
{
    RawConnection connection(service.port(), from);
    connection.send("GET /users/me HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Basic "
                    + toBase64(who.email + ":" + who.password) + "\r\n\r\n");
    const std::string answer = connection.receive("\r\n\r\n");
    const size_t code = answer.find("parcly-errorcode: ");
    return {answer.size() > 12 ? std::atoi(answer.substr(9, 3).c_str()) : 0,
            code == std::string::npos ? std::string() : answer.substr(code + 18, answer.find("\r\n", code) - code - 18)};
}

TEST(AccountGuessing, GuessesFromManyAddressesDoNotLockTheOwnerOut)
{
    const std::filesystem::path data = makeTemporaryFolder("guessing");
    Credentials owner;
    {
        RunningService first(data);
        owner = registerAccount(first);
        ASSERT_EQ(signInFrom(first, "127.0.0.1", owner).first, 200);
    }
    // Restarted: the owner's password is no longer remembered as verified, only where they signed in from.
    RunningService service(data);
    int refused = 0;
    for (int round = 0; round < 2; ++round) {
        for (int host = 2; host <= 13; ++host) {
            const auto [status, code] = signInFrom(service, "127.0.0." + std::to_string(host), {owner.email, "guess"});
            EXPECT_TRUE(status == 401 || status == 429) << status;
            refused += status == 429 ? 1 : 0;
        }
    }
    EXPECT_GT(refused, 0) << "the account as a whole is slowed down";
    // A new address of the owner's is slowed down with the guessers; theirs from before is not.
    EXPECT_EQ(signInFrom(service, "127.0.0.50", owner).first, 429);
    EXPECT_EQ(signInFrom(service, "127.0.0.1", owner), std::pair(200, std::string()));

    // Probing for e-mails is throttled per address as well, keeping its own code until then.
    std::vector<std::string> codes;
    for (int i = 0; i < 12; ++i)
        codes.push_back(signInFrom(service, "127.0.0.60", {"nobody" + std::to_string(i) + "@parcly.test", "x"}).second);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), "Authentication.UnknownUser"), 10);
    EXPECT_EQ(codes.back(), "Authentication.TooManyAttempts");
}

TEST_F(AccountTest, PasswordsAreStoredOnlyAsSaltedSlowHashes)
{
    registerAccount(service, "one@parcly.test", "same password");
    registerAccount(service, "two@parcly.test", "same password");

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((service.dataDirectory() / "parcly.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT password_hash FROM accounts ORDER BY email", -1, &query, nullptr), SQLITE_OK);
    std::vector<std::string> hashes;
    while (sqlite3_step(query) == SQLITE_ROW)
        hashes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
    sqlite3_finalize(query);
    sqlite3_close(db);

    ASSERT_EQ(hashes.size(), 2u);
    for (const std::string& hash : hashes) {
        EXPECT_EQ(hash.find("same password"), std::string::npos);
        EXPECT_EQ(hash.find(toBase64("same password")), std::string::npos);
        EXPECT_EQ(hash.rfind("pbkdf2-sha256$", 0), 0u) << hash;
    }
    EXPECT_NE(hashes[0], hashes[1]) << "each password gets its own salt";
}

TEST_F(AccountTest, TheRequestLogHoldsNeitherPasswordsNorTokens)
{
    const Credentials ada = registerAccount(service, "log@parcly.test", "hunter2-secret");
    auto answer = me(basicAuthorization(ada));
    ASSERT_TRUE(answer);
    const std::string token = bearerToken(answer);
    ASSERT_FALSE(token.empty());
    ASSERT_EQ(service.client().Get("/pro?token=" + token)->status, 200);
    // Each line is written once its answer has gone out, so the lines may land in any order.
    ASSERT_TRUE(service.waitForLogLine("POST /account"));
    ASSERT_TRUE(service.waitForLogLine("GET /users/me"));
    ASSERT_TRUE(service.waitForLogLine("GET /pro "));

    const auto lines = service.logLines();
    EXPECT_GE(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
        EXPECT_EQ(line.find(toBase64(ada.email + ":" + ada.password)), std::string::npos) << line;
        EXPECT_EQ(line.find(token.substr(token.rfind('.') + 1)), std::string::npos) << line;
        EXPECT_EQ(line.find("token="), std::string::npos) << line;
    }
}

} // namespace
