#include "GtkObjectSlot.h"

#include "GtkBackedControl.h"
#include "GtkBackedTextField.h"
#include "GtkBackedWindow.h"

#include <gtk/gtk.h>

namespace {

GQuark slotQuark() {
    static const GQuark quark = g_quark_from_static_string("tuner-toolkit-slot");
    return quark;
}

void deleteSlot(gpointer slot) {
    delete static_cast<ObjectSlot*>(slot);
}

} // namespace

ObjectSlot::~ObjectSlot() {
    for (GObject* target : outletTargets) {
        if (target != nullptr) {
            g_object_unref(target);
        }
    }
}

void ObjectSlot::setOutletTarget(std::size_t index, GObject* target) {
    if (index >= outletTargets.size()) {
        outletTargets.resize(index + 1, nullptr);
    }
    if (target != nullptr) {
        g_object_ref(target);
    }
    if (outletTargets[index] != nullptr) {
        g_object_unref(outletTargets[index]);
    }
    outletTargets[index] = target;
}

ObjectSlot* slotOf(GObject* object) {
    return static_cast<ObjectSlot*>(g_object_get_qdata(object, slotQuark()));
}

ObjectSlot& attachSlot(GObject* object, std::unique_ptr<ObjectSlot> slot) {
    ObjectSlot* const attached = slot.release();
    g_object_set_qdata_full(object, slotQuark(), attached, deleteSlot);
    return *attached;
}

NSObject* nsObjectFor(GObject* object) {
    if (object == nullptr) {
        return nullptr;
    }
    if (ObjectSlot* slot = slotOf(object)) {
        return slot->object.get();
    }
    auto slot = std::make_unique<ObjectSlot>();
    if (GTK_IS_WINDOW(object)) {
        slot->object = std::make_unique<GtkBackedWindow>(GTK_WINDOW(object));
    } else if (GTK_IS_LABEL(object)) {
        slot->object = std::make_unique<GtkBackedTextField>(GTK_LABEL(object));
    } else if (GTK_IS_WIDGET(object)) {
        slot->object = std::make_unique<GtkBackedControl>(GTK_WIDGET(object));
    } else {
        return nullptr;
    }
    return attachSlot(object, std::move(slot)).object.get();
}

std::vector<GObject*>& createdObjects() {
    static std::vector<GObject*> objects;
    return objects;
}
