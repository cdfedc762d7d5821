#pragma once

#include <QString>

#include <mutex>

// The account the client acts for: e-mail and password for basic authentication, and the token
// the service issued. A User is a short-lived view of the defaults store: every service call
// makes a fresh one, so credentials written anywhere in the app are used by the next request.
class User {
public:
    // Loads the stored account, and writes its token back without any "Bearer " prefix.
    User();

    // Generates and stores the credentials of a new free account; the stored token is untouched.
    User& initFreeUser();

    QString email() const;
    void setEmail(const QString& email);
    QString password() const;
    void setPassword(const QString& password);
    QString jwtToken() const;
    // Stores the token as given; a null string removes it from the store.
    void setJwtToken(const QString& token);

    // True when the e-mail or the password is missing. An empty string counts as present.
    bool userISEmpty() const;

    static inline const QString kUsernameKey = QStringLiteral("parcly-username");
    static inline const QString kPasswordKey = QStringLiteral("parcly-password");
    static inline const QString kTokenKey = QStringLiteral("parcly-token");
    // Free accounts live under a reserved example domain of the reference service.
    static inline const QString kFreeAccountDomain = QStringLiteral("free.parcly.example");

private:
    mutable std::mutex m_mutex;
    QString m_email;
    QString m_password;
    QString m_jwtToken;
};
