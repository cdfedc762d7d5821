// parcly-server: options, signals, and the one line that tells scripts where it listens.
#include "server/ServerOptions.h"
#include "server/ServiceApp.h"
#include "server/database/SigningSecret.h"
#include "server/migration/ServiceMove.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <pthread.h>
#include <thread>

namespace {

int rotateSigningKey(const ServerOptions& options)
{
    try {
        const database::DatabaseUrl url = options.databaseUrl();
        const std::unique_ptr<Database> database = url.open();
        database::replaceSigningSecret(*database);
        std::cout << "parcly-server: the signing key of " << url.describe()
                  << " is new; tokens issued before are no longer valid once running instances restart\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "parcly-server: cannot use the database: " << error.what() << "\n";
        return 2;
    }
}

int migrate(const ServerOptions& options, const MoveOptions& move)
{
    try {
        ServerOptions source = options;
        if (!move.from.empty())
            source.database = move.from;
        if (!move.fromStorage.empty())
            source.storage = move.fromStorage;
        ServerOptions target = options;
        target.database = move.to;
        target.storage = move.toStorage;
        const database::DatabaseUrl fromUrl = source.databaseUrl();
        const database::DatabaseUrl toUrl = target.databaseUrl();
        const std::unique_ptr<Database> from = fromUrl.open();
        const std::unique_ptr<Database> to = toUrl.open();
        ServiceMove serviceMove(*from, source.storageUrl(), *to, target.storageUrl(),
                                [](const std::string& line) { std::cerr << "parcly-server: " << line << "\n"; });
        const ServiceMove::Counts counts = serviceMove.run();
        for (const std::string& failure : counts.failures)
            std::cerr << "parcly-server: not moved: " << failure << "\n";
        std::cout << "parcly-server: moved " << fromUrl.describe() << " to " << toUrl.describe() << ": accounts " << counts.accountsCopied
                  << " copied, " << counts.accountsPresent << " there already; drops " << counts.dropsCopied << " copied ("
                  << counts.bytesCopied << " bytes, each checked), " << counts.dropsGone << " deleted or expired (rows only), "
                  << counts.dropsPresent << " there already, " << counts.failures.size() << " failed\n";
        return counts.failures.empty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "parcly-server: cannot migrate: " << error.what() << "\n";
        return 2;
    }
}

} // namespace

int main(int argc, char** argv)
{
    const ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        std::cout << usage();
        return 0;
    case ParsedCommandLine::Action::Version:
        std::cout << "parcly-server " PARCLY_SERVER_VERSION "\n";
        return 0;
    case ParsedCommandLine::Action::Fail:
        std::cerr << "parcly-server: " << parsed.error << "\nTry 'parcly-server --help'.\n";
        return 2;
    case ParsedCommandLine::Action::RotateSigningKey:
        return rotateSigningKey(parsed.options);
    case ParsedCommandLine::Action::Migrate:
        return migrate(parsed.options, parsed.move);
    case ParsedCommandLine::Action::Run:
        break;
    }

    // Blocked in every thread (they inherit the mask) and taken by sigwait below, so stopping
    // runs as ordinary code rather than in a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<ServiceApp> service;
    try {
        service = std::make_unique<ServiceApp>(parsed.options);
    } catch (const BackendUnavailable& error) {
        std::cerr << "parcly-server: " << error.what() << "\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "parcly-server: " << error.what() << "\n";
        return 1;
    }

    std::cout << "parcly-server listening on " << service->listeningUrl() << std::endl;
    const std::string& host = parsed.options.listenHost;
    const bool loopback = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    if (!loopback && !parsed.options.tls())
        std::cerr << "parcly-server: warning: passwords cross the network in clear text; use --tls-cert and --tls-key, "
                     "or put a TLS proxy in front\n";
    if ((host == "0.0.0.0" || host == "::") && parsed.options.publicUrl.empty())
        std::cerr << "parcly-server: warning: short links name " << service->publicUrl() << "; set --public-url\n";
    std::cerr << "parcly-server: data in " << parsed.options.dataDirectory.string() << ", records in "
              << parsed.options.databaseUrl().describe() << ", short links on " << service->publicUrl() << std::endl;

    std::atomic<bool> signalled = false;
    std::thread signalWaiter([&service, &signalled, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        signalled = true;
        service->stop();
    });
    service->run();
    const bool clean = signalled;
    if (!clean) {
        // The accept loop failed on its own: wake the waiter so it can be joined.
        std::cerr << "parcly-server: stopped serving unexpectedly\n";
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
    }
    signalWaiter.join();
    service.reset();
    return clean ? 0 : 1;
}
