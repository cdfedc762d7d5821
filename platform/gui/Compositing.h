#pragma once

// Whether windows may be translucent: a compositing manager blends them with what lies below.
// Without one, an X11 window's transparent pixels show black.
namespace Compositing {
// On X11, true when a compositing manager owns the _NET_WM_CM_S<screen> selection of the display's
// default screen. Other platforms (Wayland, offscreen) always composite.
bool isActive();
}
