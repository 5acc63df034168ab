#pragma once

#include "NSClassRegistry.h"
#include "NSObject.h"

#include <glib-object.h>

#include <memory>
#include <vector>

// What the toolkit keeps on each GObject it knows: the C++ object it stands for, and for
// the interface file's own types the outlet targets the file set, until they are
// connected. Attached as object data and deleted with the GObject.
struct ObjectSlot {
    ObjectSlot() = default;
    ObjectSlot(const ObjectSlot&) = delete;
    ObjectSlot& operator=(const ObjectSlot&) = delete;
    ~ObjectSlot();

    // Registered classes only; null for the toolkit's own wrappers.
    const NSClassRegistry::ClassEntry* entry = nullptr;
    // Created when the interface file is connected (registered classes) or on first use
    // (wrappers of windows and controls); may stay null when a factory gives nothing.
    std::unique_ptr<NSObject> object;
    // One per outlet of entry (or the window's delegate), holding a reference; null
    // where the file sets nothing.
    std::vector<GObject*> outletTargets;

    void setOutletTarget(std::size_t index, GObject* target);
};

ObjectSlot* slotOf(GObject* object);
ObjectSlot& attachSlot(GObject* object, std::unique_ptr<ObjectSlot> slot);

// The C++ object a GObject stands for: the registered class's object, or a wrapper made
// on first use: a window for a GtkWindow, a text field for a GtkLabel, a control for any
// other widget. Null for anything else.
NSObject* nsObjectFor(GObject* object);

// The objects of the registered types and of the window type, in the order they were
// created (the interface file's order). The loader takes its part of the list.
std::vector<GObject*>& createdObjects();
