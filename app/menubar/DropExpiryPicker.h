#pragma once

#include <QComboBox>

// "Delete new drops after": never, 1 hour, 1 day, 7 days or 30 days, kept in the defaults
// (API::kDropExpiryKey, in seconds, 0 for never) and sent with every upload from then on.
class DropExpiryPicker : public QComboBox {
    Q_OBJECT
public:
    explicit DropExpiryPicker(QWidget* parent = nullptr);

private:
    // Selects the stored choice; one set by hand to another duration gets an entry of its own.
    void showStoredValue();
};
