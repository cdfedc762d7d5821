#include "app/service/User.h"

#include "platform/Defaults.h"

#include <QUuid>

namespace {

QString newLowercaseUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

} // namespace

User::User()
{
    Defaults& defaults = Defaults::standard();
    // Picks up what another process (the app, the command line) stored since we last looked.
    defaults.synchronize();
    m_email = defaults.string(kUsernameKey);
    m_password = defaults.string(kPasswordKey);
    QString token = defaults.string(kTokenKey);
    token.remove(QStringLiteral("Bearer "));
    setJwtToken(token);
}

User& User::initFreeUser()
{
    Defaults& defaults = Defaults::standard();
    const QString email = QStringLiteral("free-mac") + newLowercaseUuid() + QLatin1Char('@') + kFreeAccountDomain;
    setEmail(email);
    defaults.setValue(kUsernameKey, email);
    const QString password = newLowercaseUuid();
    setPassword(password);
    defaults.setValue(kPasswordKey, password);
    defaults.synchronize();
    return *this;
}

QString User::email() const
{
    std::lock_guard lock(m_mutex);
    return m_email;
}

void User::setEmail(const QString& email)
{
    std::lock_guard lock(m_mutex);
    m_email = email;
}

QString User::password() const
{
    std::lock_guard lock(m_mutex);
    return m_password;
}

void User::setPassword(const QString& password)
{
    std::lock_guard lock(m_mutex);
    m_password = password;
}

QString User::jwtToken() const
{
    std::lock_guard lock(m_mutex);
    return m_jwtToken;
}

void User::setJwtToken(const QString& token)
{
    {
        std::lock_guard lock(m_mutex);
        m_jwtToken = token;
    }
    Defaults& defaults = Defaults::standard();
    if (token.isNull())
        defaults.remove(kTokenKey);
    else
        defaults.setValue(kTokenKey, token);
    defaults.synchronize();
}

bool User::userISEmpty() const
{
    std::lock_guard lock(m_mutex);
    return m_email.isNull() || m_password.isNull();
}
