#pragma once

// The two ways the app starts at login, and its side of the handshake with the login launcher.
// The app's own login-items entry runs the main bundle's executable; the launcher's registration
// runs the launcher inside the bundle, which starts the app. One choice governs both: off means
// nothing of ours starts the app at login.
// The delegate owns it; the welcome window and the preferences get it to drive. It keeps nothing
// of its own: the login items and the launcher's registration are the state.
class StartAtLogin {
public:
    // On: adds the app's entry ahead of the list (when it is missing) and registers the launcher.
    // Off: removes every entry that runs this copy of the app, and the launcher's registration.
    void setStartAtLogin(bool enabled);
    // True when anything of ours starts the app at login: an entry that runs this copy of the app,
    // or the launcher's registration.
    bool startAtLoginIsEnabled() const;
    // Posts "killLauncher" once for every running launcher.
    void handleStartAtLogin() const;
};
