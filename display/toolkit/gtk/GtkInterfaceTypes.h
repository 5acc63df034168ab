#pragma once

// Makes the GObject types the interface file names: one per class of NSClassRegistry
// (a GObject for plain classes, a GtkDrawingArea for views) whose outlets are
// object-valued properties, and "NSWindow", a GtkApplicationWindow with the property
// "delegate". Types already made are kept; classes registered since are added.
void registerInterfaceTypes();

// The property index of the window type's delegate among its slot's outlet targets.
inline constexpr unsigned kWindowDelegateOutlet = 0;
