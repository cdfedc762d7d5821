#pragma once

#include "server/AccountStore.h"
#include "server/Authenticator.h"
#include "server/DropStore.h"
#include "server/Pages.h"
#include "server/RequestLog.h"
#include "server/ServerOptions.h"
#include "server/TokenSigner.h"

#include <string>

// What the routes share: the options and the service's stores, owned by ServiceApp.
struct ServiceContext {
    const ServerOptions& options;
    std::string publicUrl; // without a trailing slash
    AccountStore& accounts;
    DropStore& drops;
    TokenSigner& tokens;
    Authenticator& authenticator;
    Pages& pages;
    RequestLog& log;
};
