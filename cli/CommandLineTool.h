#pragma once

#include "app/service/API.h"
#include "platform/Error.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>

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

    // "30m", "1h", "7d", "2w" (s, m, h, d, w after a whole number above zero) or "never" (zero);
    // none for anything else.
    static std::optional<std::chrono::seconds> parseExpiry(const QString& text);

private:
    // `upload [--expires DURATION] PATH...`: one plain file is uploaded as it is; a folder or
    // several items are zipped into one first. Without --expires the drop expires as the app's
    // preferences say.
    int upload(const QStringList& arguments);
    int uploadFile(const QString& path, std::chrono::seconds expiresIn);
    int drops();
    // `drops list [--json] [--limit N]`
    int listDrops(const QStringList& options);
    // `delete CODE|LINK...`: every one is tried; fails when any of them did.
    int deleteDrops(const QStringList& references);
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
