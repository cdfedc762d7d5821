#pragma once

// Names shared by the tray app, the share extension and the login launcher.

// Bundle identifiers of the three deliverables.
inline constexpr char kMainAppBundleID[] = "org.parcly.ParclyLite";
inline constexpr char kShareExtensionBundleID[] = "org.parcly.ParclyLite.Share";
inline constexpr char kLauncherID[] = "org.parcly.ParclyLiteLauncher";

// Posted on the default notification center when the service no longer knows the stored user.
inline constexpr char kUnknownUserAPIErrorNotification[] = "UnknownUserAPIErrorNotification";
