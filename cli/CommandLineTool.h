#pragma once

#include "app/service/API.h"
#include "platform/Error.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdio>
#include <functional>

// The `parcly` command: the service client for scripts and headless machines. It uses the same
// stored account as the app and, like the app at first launch, makes and registers a free
// account when there is none.
class CommandLineTool {
public:
    // Runs one command; returns the process exit status.
    int run(const QStringList& arguments);

    enum ExitStatus { Success = 0, Failure = 1, Usage = 2 };

    struct Outcome {
        bool success = false;
        QVariant result;
        // Why it failed, as the service client put it for people; empty on success.
        Error reason;
    };

private:
    // One plain file is uploaded as it is; a folder or several items are zipped into one first.
    int upload(const QStringList& paths);
    int uploadFile(const QString& path);
    int drops();
    int registerFreeAccount();

    // Makes sure an account is stored; registers a free one when there is none.
    bool ensureAccount();
    // Registers a fresh free account and stores its token. Returns false with a reason printed.
    bool registerNewFreeAccount();
    // Runs one account set-up to its end; false with the reason printed when it failed.
    bool setUpAccount(const std::function<void(API::Completion)>& start);

    // False, with the reason printed, when the defaults store cannot keep the account.
    bool settingsUsable() const;
    int fail(const QString& reason) const;
    // The reason an operation failed, from the Error its completion gave; never from the log,
    // whose lines are worded for whoever reads the log.
    QString failureReason(const Outcome& outcome) const;
    void printUsage(std::FILE* stream) const;

    bool m_serviceForgotUser = false;
};
