#pragma once

// The tray app's run: hands a second start's URLs to the instance that runs and leaves, or makes
// the application, delivers get-URL events to the delegate once it has launched, and runs the
// event loop. Returns the exit status.
int ApplicationMain(int argc, char** argv);
