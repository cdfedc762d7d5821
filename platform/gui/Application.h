#pragma once

// The running application as a whole.
namespace Application {
// Brings the app's visible windows to the front and gives the top one the keyboard focus, even when
// another application is active.
void activateIgnoringOtherApps();
}
