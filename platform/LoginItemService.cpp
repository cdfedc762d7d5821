#include "platform/LoginItemService.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/LoginItems.h"

#include <QDir>

namespace {

bool isUsableIdentifier(const QString& identifier)
{
    // It names a file in the autostart folder.
    return !identifier.isEmpty() && !identifier.startsWith(QLatin1Char('.')) && !identifier.contains(QLatin1Char('/'));
}

} // namespace

QString LoginItemService::helperExecutablePath(const QString& identifier)
{
    const Bundle main = Bundle::mainBundle();
    if (!main.isValid() || identifier.isEmpty())
        return {};
    const QDir loginItems(main.bundlePath() + QStringLiteral("/Contents/Library/LoginItems"));
    const QStringList helpers = loginItems.entryList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : helpers) {
        const Bundle helper(loginItems.filePath(name));
        if (helper.bundleIdentifier() == identifier)
            return helper.executablePath();
    }
    return {};
}

bool LoginItemService::setEnabled(const QString& identifier, bool enabled)
{
    if (!isUsableIdentifier(identifier)) {
        logLine(QStringLiteral("Login item service: \"%1\" is not a bundle identifier").arg(identifier));
        return false;
    }
    std::optional<LoginItems> items = LoginItems::create();
    if (!items)
        return false;
    const QString fileName = identifier + QStringLiteral(".desktop");
    if (!enabled) {
        const std::optional<LoginItem> item = items->itemNamed(fileName);
        return !item || items->removeItem(*item);
    }
    const QString helper = helperExecutablePath(identifier);
    if (helper.isEmpty()) {
        logLine(QStringLiteral("Login item service: no helper %1 in %2/Contents/Library/LoginItems")
                    .arg(identifier, Bundle::mainBundle().bundlePath()));
        return false;
    }
    return items->writeItem(fileName, helper, identifier).has_value();
}

bool LoginItemService::isEnabled(const QString& identifier)
{
    if (!isUsableIdentifier(identifier))
        return false;
    const std::optional<LoginItems> items = LoginItems::create();
    if (!items)
        return false;
    const std::optional<LoginItem> item = items->itemNamed(identifier + QStringLiteral(".desktop"));
    // A hidden entry, or one whose program has gone, starts nothing.
    return item && !LoginItems::resolve(*item).isEmpty();
}
