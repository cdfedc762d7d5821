#pragma once

#include "app/service/API.h"

// Makes sure the defaults store holds an account the service has registered: the tray app at
// every launch, the command line before every request.
class AccountSetup {
public:
    // With no stored account, makes a new free one and registers it (see registerFreeAccount).
    // Stored credentials without a token never reached the service (it was down or refused their
    // registration): they are registered once more, whatever it answers, rather than taken for an
    // account the service has forgotten. Otherwise completes with success at once. Success: the
    // account can be used; the result is the new token, if one was registered. Failure: a new
    // free account could not be registered; the result is the Error (already logged), and its
    // credentials stay stored.
    static void ensureAccount(API::Completion complete = {});

    // Generates and stores a new free account, registers it, and stores the token the service
    // returns. The completion is the registration's.
    static void registerFreeAccount(API::Completion complete = {});
};
