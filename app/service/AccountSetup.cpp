#include "app/service/AccountSetup.h"

#include "app/service/User.h"

#include <memory>

namespace {

void registerUser(const std::shared_ptr<User>& user, bool reportOutcome, API::Completion complete)
{
    // The completion holds the user until the service has answered.
    API::instance().registerUser(*user, [user, reportOutcome, complete = std::move(complete)](bool success, const QVariant& token) {
        if (success && !token.isNull())
            user->setJwtToken(token.toString());
        if (complete)
            complete(success || !reportOutcome, token);
    });
}

} // namespace

void AccountSetup::ensureAccount(API::Completion complete)
{
    auto user = std::make_shared<User>();
    if (user->userISEmpty()) {
        registerFreeAccount(std::move(complete));
        return;
    }
    if (user->jwtToken().isEmpty()) {
        // Stored credentials stay usable even if this second try fails: the request itself says why.
        registerUser(user, false, std::move(complete));
        return;
    }
    if (complete)
        complete(true, QVariant());
}

void AccountSetup::registerFreeAccount(API::Completion complete)
{
    auto user = std::make_shared<User>();
    user->initFreeUser();
    registerUser(user, true, std::move(complete));
}
