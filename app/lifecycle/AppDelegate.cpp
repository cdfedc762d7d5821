#include "app/lifecycle/AppDelegate.h"

#include "app/menubar/StatusItemController.h"
#include "app/service/API.h"
#include "app/service/User.h"
#include "platform/DefaultsController.h"

#include <memory>

AppDelegate& AppDelegate::instance()
{
    static AppDelegate* delegate = new AppDelegate;
    return *delegate;
}

void AppDelegate::applicationDidFinishLaunching()
{
    setStatusItemController(new StatusItemController(this));
    handleUserSetup();
}

void AppDelegate::handleUserSetup()
{
    auto user = std::make_shared<User>();
    if (user->userISEmpty()) {
        user->initFreeUser();
        // The completion keeps the user alive until the service has answered.
        API::instance().registerUser(*user, [user](bool success, const QVariant& token) {
            if (success)
                user->setJwtToken(token.toString());
        });
    }
    DefaultsController::sharedUserDefaultsController().setInitialValues({{kUploadAllScreenshotsKey, true}});
}
