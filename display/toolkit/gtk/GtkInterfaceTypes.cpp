// The GObject types behind the interface file's class names. GtkBuilder creates objects
// by type name, so each registered class gets a type of its own, made at run time. An
// instance carries an ObjectSlot; the C++ object is created later, once the whole file
// is built (views need their size request, outlets may point forward).
#include "GtkInterfaceTypes.h"

#include "Diagnostics.h"
#include "GtkBackedWindow.h"
#include "GtkObjectSlot.h"
#include "GtkViewWidget.h"

#include <gtk/gtk.h>

#include <cstdio>

namespace {

GQuark entryQuark() {
    static const GQuark quark = g_quark_from_static_string("tuner-toolkit-class");
    return quark;
}

const NSClassRegistry::ClassEntry* entryOfClass(gpointer klass) {
    return static_cast<const NSClassRegistry::ClassEntry*>(
        g_type_get_qdata(G_TYPE_FROM_CLASS(klass), entryQuark()));
}

void setOutletProperty(GObject* object, guint id, const GValue* value, GParamSpec*) {
    if (ObjectSlot* slot = slotOf(object)) {
        slot->setOutletTarget(id - 1, G_OBJECT(g_value_get_object(value)));
    }
}

void getOutletProperty(GObject* object, guint id, GValue* value, GParamSpec*) {
    ObjectSlot* slot = slotOf(object);
    const std::size_t index = id - 1;
    g_value_set_object(value, slot != nullptr && index < slot->outletTargets.size()
                                  ? slot->outletTargets[index]
                                  : nullptr);
}

void installOutlet(GObjectClass* objectClass, guint id, const char* name) {
    if (!g_param_spec_is_valid_name(name)) {
        std::fprintf(diagnostics(), "The outlet name %s cannot be used in the interface file\n",
                     name);
        return;
    }
    g_object_class_install_property(
        objectClass, id,
        g_param_spec_object(name, name, "an outlet", G_TYPE_OBJECT,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
}

void initRegisteredClass(gpointer klass, gpointer) {
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setOutletProperty;
    objectClass->get_property = getOutletProperty;
    const NSClassRegistry::ClassEntry* entry = entryOfClass(klass);
    guint id = 1;
    for (const auto& outlet : entry->outlets) {
        installOutlet(objectClass, id++, outlet.first.c_str());
    }
}

void initRegisteredInstance(GTypeInstance* instance, gpointer klass) {
    auto slot = std::make_unique<ObjectSlot>();
    slot->entry = entryOfClass(klass);
    slot->outletTargets.resize(slot->entry->outlets.size(), nullptr);
    GObject* object = G_OBJECT(instance);
    attachSlot(object, std::move(slot));
    if (GTK_IS_WIDGET(object)) {
        prepareViewWidget(GTK_WIDGET(object));
    }
    createdObjects().push_back(object);
}

void initWindowClass(gpointer klass, gpointer) {
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setOutletProperty;
    objectClass->get_property = getOutletProperty;
    installOutlet(objectClass, kWindowDelegateOutlet + 1, "delegate");
}

void initWindowInstance(GTypeInstance* instance, gpointer) {
    auto slot = std::make_unique<ObjectSlot>();
    slot->outletTargets.resize(1, nullptr);
    slot->object = std::make_unique<GtkBackedWindow>(GTK_WINDOW(instance));
    attachSlot(G_OBJECT(instance), std::move(slot));
    createdObjects().push_back(G_OBJECT(instance));
}

GType registerType(GType parent, const char* name, GClassInitFunc classInit,
                   GInstanceInitFunc instanceInit) {
    GTypeQuery query;
    g_type_query(parent, &query);
    GTypeInfo info{};
    info.class_size = static_cast<guint16>(query.class_size);
    info.class_init = classInit;
    info.instance_size = static_cast<guint16>(query.instance_size);
    info.instance_init = instanceInit;
    return g_type_register_static(parent, name, &info, static_cast<GTypeFlags>(0));
}

} // namespace

void registerInterfaceTypes() {
    if (g_type_from_name("NSWindow") == 0) {
        registerType(GTK_TYPE_APPLICATION_WINDOW, "NSWindow", initWindowClass, initWindowInstance);
    }
    for (const NSClassRegistry::ClassEntry* entry : NSClassRegistry::classes()) {
        if (!entry->isCreatable()) {
            std::fprintf(diagnostics(),
                         "The class %s has outlets or actions but no way to create it\n",
                         entry->name.c_str());
            continue;
        }
        const GType existing = g_type_from_name(entry->name.c_str());
        if (existing != 0) {
            if (g_type_get_qdata(existing, entryQuark()) == nullptr) {
                std::fprintf(diagnostics(), "The class name %s is taken by the toolkit itself\n",
                             entry->name.c_str());
            }
            continue;
        }
        const GType parent = entry->isView() ? GTK_TYPE_DRAWING_AREA : G_TYPE_OBJECT;
        const GType type =
            registerType(parent, entry->name.c_str(), initRegisteredClass, initRegisteredInstance);
        g_type_set_qdata(type, entryQuark(), const_cast<NSClassRegistry::ClassEntry*>(entry));
    }
}
