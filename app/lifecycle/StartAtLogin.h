#pragma once

// The two ways the app starts at login, and its side of the handshake with the login launcher.
// The app's own login-items entry runs the main bundle's executable; the launcher's registration
// is the login-item service's business (the onboarding window sets it).
class StartAtLogin {
public:
    // Adds the app's entry ahead of the list (when it is missing) or removes the first one.
    static void setStartAtLogin(bool enabled);
    // True when the list holds an entry that runs this copy of the app.
    static bool startAtLoginIsEnabled();
    // Posts "killLauncher" once for every running launcher.
    static void handleStartAtLogin();
};
