#pragma once

// Makes Screen::backingScaleFactor() read the device pixel ratio of the primary QScreen.
// Call once, after the QGuiApplication exists.
void installPrimaryScreen();
