#pragma once

#include "app/service/API.h"

// Makes sure the defaults store holds an account the service has registered: the tray app at
// every launch, the command line before every request.
class AccountSetup {
public:
    // What to do with stored credentials that have no token, i.e. whose registration failed.
    enum class Tokenless {
        Keep,            // use them as they are; the service tells later whether it knows them
        RegisterAgain,   // try their registration once more, whatever it answers
    };

    // With no stored account, makes a new free one and registers it (see registerFreeAccount).
    // Otherwise completes with success at once, after one more registration for a tokenless
    // account when the policy asks for it. Success: the account can be used; the result is the
    // new token, if one was registered. Failure: a new free account could not be registered; the
    // result is the Error (already logged), and its credentials stay stored.
    static void ensureAccount(Tokenless policy, API::Completion complete = {});

    // Generates and stores a new free account, registers it, and stores the token the service
    // returns. The completion is the registration's.
    static void registerFreeAccount(API::Completion complete = {});
};
