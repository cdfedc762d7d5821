#pragma once

#include <QMetaType>
#include <QString>

// A failure as the system reports it: where it comes from, a code, and a sentence a person can act on.
struct Error {
    QString domain;
    int code = 0;
    QString localizedDescription;

    friend bool operator==(const Error&, const Error&) = default;
};

Q_DECLARE_METATYPE(Error)
