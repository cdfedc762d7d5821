#include "app/menubar/DropExpiryPicker.h"

#include "app/service/API.h"
#include "platform/DefaultsController.h"

#include <algorithm>

namespace {

const QString kKeyPath = QStringLiteral("values.") + API::kDropExpiryKey;

constexpr struct {
    const char* title;
    qint64 seconds;
} kChoices[] = {
    {"Never", 0}, {"1 hour", 3600}, {"1 day", 86400}, {"7 days", 7 * 86400}, {"30 days", 30 * 86400},
};

} // namespace

DropExpiryPicker::DropExpiryPicker(QWidget* parent)
    : QComboBox(parent)
{
    setObjectName(QStringLiteral("dropExpiry"));
    setAccessibleName(QStringLiteral("Delete new drops after"));
    for (const auto& choice : kChoices)
        addItem(QString::fromLatin1(choice.title), choice.seconds);
    showStoredValue();
    connect(this, &QComboBox::activated, this, [this](int index) {
        DefaultsController::sharedUserDefaultsController().setValueForKeyPath(itemData(index).toLongLong(), kKeyPath);
    });
    connect(&DefaultsController::sharedUserDefaultsController(), &DefaultsController::valueChanged, this, [this](const QString& key) {
        if (key == API::kDropExpiryKey)
            showStoredValue();
    });
}

void DropExpiryPicker::showStoredValue()
{
    const qint64 seconds = std::max<qint64>(0, DefaultsController::sharedUserDefaultsController().valueForKeyPath(kKeyPath).toLongLong());
    int index = findData(seconds);
    if (index < 0) {
        const qint64 hours = seconds / 3600;
        addItem(seconds % 3600 == 0 ? QStringLiteral("%1 hours").arg(hours) : QStringLiteral("%1 seconds").arg(seconds), seconds);
        index = count() - 1;
    }
    setCurrentIndex(index);
}
