// NSApplicationMain on GtkApplication and GtkBuilder: one primary instance per desktop
// session (a second launch activates it), the interface file turned into the program's
// objects, their outlets and actions, then awakeFromNib and the event loop.
#include "NSApplication.h"

#include "Diagnostics.h"
#include "GtkBackedControl.h"
#include "GtkBackedWindow.h"
#include "GtkInterfaceTypes.h"
#include "GtkObjectSlot.h"
#include "GtkViewWidget.h"
#include "NSImage.h"
#include "NSTimer.h"
#include "NSView.h"
#include "NSWindow.h"
#include "NSWorkspace.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Launch {
    std::string interfaceFile;
    GtkBuilder* builder = nullptr;
    std::vector<GObject*> objects; // the file's objects, in its order
    bool loaded = false;
    bool failed = false;
};

std::string interfacePath(const std::string& file) {
    if (!file.empty() && file.front() == '/') {
        return file;
    }
    const std::size_t dot = file.rfind('.');
    const std::string name = dot == std::string::npos ? file : file.substr(0, dot);
    const std::string type = dot == std::string::npos ? std::string("ui") : file.substr(dot + 1);
    return NSBundle::mainBundle().pathForResource(name, type);
}

// An action named in the file: the handler name ("donate:") sent to the signal's object,
// or the application's own "terminate:".
struct ActionBinding {
    std::string action;
    GObject* target; // not owned: the file's objects live as long as the builder
};

void sendAction(const ActionBinding& binding, GObject* emitter) {
    auto* sender = dynamic_cast<NSControl*>(nsObjectFor(emitter));
    if (binding.action == "terminate:") {
        NSApplication::sharedApplication().terminate(sender);
        return;
    }
    ObjectSlot* slot = binding.target != nullptr ? slotOf(binding.target) : nullptr;
    if (slot == nullptr || slot->entry == nullptr || !slot->object) {
        return;
    }
    if (const NSClassRegistry::Action* send = slot->entry->action(binding.action)) {
        (*send)(*slot->object, sender);
    }
}

// Every signal the file binds comes here, whatever its parameters: the emitter is the
// first one.
void marshalAction(GClosure* closure, GValue*, guint count, const GValue* params, gpointer,
                   gpointer) {
    if (count > 0 && G_VALUE_HOLDS_OBJECT(&params[0])) {
        sendAction(*static_cast<ActionBinding*>(closure->data),
                   G_OBJECT(g_value_get_object(&params[0])));
    }
}

void freeBinding(gpointer data, GClosure*) {
    delete static_cast<ActionBinding*>(data);
}

void connectAction(GtkBuilder*, GObject* emitter, const gchar* signal, const gchar* handler,
                   GObject* target, GConnectFlags flags, gpointer) {
    const std::string action = handler;
    if (action != "terminate:") {
        ObjectSlot* slot = target != nullptr ? slotOf(target) : nullptr;
        if (slot == nullptr || slot->entry == nullptr || slot->entry->action(action) == nullptr) {
            std::fprintf(diagnostics(),
                         "The interface file sends %s to an object that does not answer it\n",
                         handler);
            return;
        }
    }
    auto* binding = new ActionBinding{action, target};
    GClosure* closure = g_closure_new_simple(sizeof(GClosure), binding);
    g_closure_add_finalize_notifier(closure, binding, freeBinding);
    g_closure_set_marshal(closure, marshalAction);
    const gulong id =
        g_signal_connect_closure(emitter, signal, closure, (flags & G_CONNECT_AFTER) != 0);
    if (auto* control = dynamic_cast<GtkBackedControl*>(nsObjectFor(emitter))) {
        control->addActionHandler(id);
    }
}

// False, with a message, when a view is larger than memory or a surface can hold.
bool createObject(GObject* object, const Launch& launch) {
    ObjectSlot* slot = slotOf(object);
    if (slot == nullptr || slot->entry == nullptr || slot->object) {
        return true;
    }
    if (!slot->entry->isView()) {
        slot->object = slot->entry->factory();
        return true;
    }
    GtkWidget* widget = GTK_WIDGET(object);
    int width = 0;
    int height = 0;
    gtk_widget_get_size_request(widget, &width, &height);
    width = width < 0 ? 0 : width;
    height = height < 0 ? 0 : height;
    // The view's own picture is allocated with it; a size that memory cannot hold throws.
    std::unique_ptr<NSView> view;
    try {
        view = slot->entry->viewFactory(
            NSMakeRect(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    const char* refusal = nullptr;
    if (!view) {
        refusal = "does not fit in memory";
    } else if (!attachView(widget, view.get())) {
        refusal = "is too large to show";
    }
    if (refusal != nullptr) {
        std::fprintf(stderr, "Cannot load the interface file %s: its view of %d x %d pixels %s\n",
                     launch.interfaceFile.c_str(), width, height, refusal);
        return false;
    }
    slot->object = std::move(view);
    return true;
}

// A menu item bound to an application action shows the action's shortcut beside its
// label, as menus made from menu models do by themselves.
void showShortcuts(GtkApplication* application, GtkBuilder* builder) {
    GSList* const objects = gtk_builder_get_objects(builder);
    for (GSList* it = objects; it != nullptr; it = it->next) {
        if (!GTK_IS_MENU_ITEM(it->data)) {
            continue;
        }
        const gchar* action = gtk_actionable_get_action_name(GTK_ACTIONABLE(it->data));
        GtkWidget* label = gtk_bin_get_child(GTK_BIN(it->data));
        if (action == nullptr || !GTK_IS_ACCEL_LABEL(label)) {
            continue;
        }
        gchar** shortcuts = gtk_application_get_accels_for_action(application, action);
        guint key = 0;
        GdkModifierType modifiers{};
        if (shortcuts[0] != nullptr) {
            gtk_accelerator_parse(shortcuts[0], &key, &modifiers);
        }
        if (key != 0) {
            gtk_accel_label_set_accel(GTK_ACCEL_LABEL(label), key, modifiers);
        }
        g_strfreev(shortcuts);
    }
    g_slist_free(objects);
}

void connectOutlets(GObject* object) {
    ObjectSlot* slot = slotOf(object);
    if (slot == nullptr || !slot->object) {
        return;
    }
    if (slot->entry == nullptr) { // a window: its one outlet is the delegate
        auto* window = dynamic_cast<NSWindow*>(slot->object.get());
        GObject* target =
            slot->outletTargets.empty() ? nullptr : slot->outletTargets[kWindowDelegateOutlet];
        if (window != nullptr && target != nullptr) {
            window->setDelegate(dynamic_cast<NSWindowDelegate*>(nsObjectFor(target)));
        }
        return;
    }
    for (std::size_t i = 0; i < slot->entry->outlets.size(); ++i) {
        GObject* target = i < slot->outletTargets.size() ? slot->outletTargets[i] : nullptr;
        if (target != nullptr) {
            slot->entry->outlets[i].second(*slot->object, nsObjectFor(target));
        }
    }
}

bool loadInterface(GtkApplication* application, Launch& launch) {
    registerInterfaceTypes();
    const std::string path = interfacePath(launch.interfaceFile);
    GError* error = nullptr;
    createdObjects().clear();
    launch.builder = gtk_builder_new();
    if (path.empty() || gtk_builder_add_from_file(launch.builder, path.c_str(), &error) == 0) {
        std::fprintf(diagnostics(), "Cannot load the interface file %s: %s\n",
                     launch.interfaceFile.c_str(), error != nullptr ? error->message : "not found");
        g_clear_error(&error);
        return false;
    }
    launch.objects = createdObjects();
    const bool hasWindow = std::any_of(launch.objects.begin(), launch.objects.end(),
                                       [](GObject* object) { return GTK_IS_WINDOW(object); });
    if (!hasWindow) {
        std::fprintf(stderr, "Cannot load the interface file %s: it creates no window\n",
                     launch.interfaceFile.c_str());
        return false;
    }
    for (GObject* object : launch.objects) {
        if (!createObject(object, launch)) {
            return false;
        }
    }
    for (GObject* object : launch.objects) {
        connectOutlets(object);
    }
    gtk_builder_connect_signals_full(launch.builder, connectAction, nullptr);
    showShortcuts(application, launch.builder);
    NSApplication& app = NSApplication::sharedApplication();
    for (GObject* object : launch.objects) {
        if (GTK_IS_WINDOW(object)) {
            gtk_application_add_window(application, GTK_WINDOW(object));
            if (auto* window = dynamic_cast<NSWindow*>(nsObjectFor(object))) {
                app.addWindow(window);
            }
        }
    }
    for (GObject* object : launch.objects) {
        if (NSObject* target = nsObjectFor(object)) {
            target->awakeFromNib();
        }
    }
    return true;
}

void onActivate(GtkApplication* application, gpointer data) {
    auto& launch = *static_cast<Launch*>(data);
    if (launch.failed) {
        return;
    }
    if (launch.loaded) {
        NSApplication::sharedApplication().reopen();
        return;
    }
    launch.loaded = true;
    if (!loadInterface(application, launch)) {
        launch.failed = true;
        g_application_quit(G_APPLICATION(application));
        return;
    }
    for (NSWindow* window : NSApplication::sharedApplication().windows()) {
        window->makeKeyAndOrderFront(nullptr);
    }
}

void onQuit(GSimpleAction*, GVariant*, gpointer) {
    NSApplication::sharedApplication().terminate(nullptr);
}

gboolean fireTimer(gpointer timer) {
    static_cast<NSTimer*>(timer)->fire();
    return G_SOURCE_CONTINUE;
}

NSTimer::Scheduler mainLoopScheduler() {
    return {[](std::chrono::milliseconds interval, NSTimer* timer) {
                return g_timeout_add(static_cast<guint>(interval.count()), fireTimer, timer);
            },
            [](unsigned handle) { g_source_remove(handle); }};
}

// GLib's and GTK's messages go where the program's own diagnostics go (the audio backend
// may have pointed C's stderr away from the standard error stream).
GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    const char* domain = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0) {
            domain = static_cast<const char*>(fields[i].value);
        }
    }
    if (g_log_writer_default_would_drop(level, domain)) {
        return G_LOG_WRITER_HANDLED;
    }
    gchar* line = g_log_writer_format_fields(level, fields, count, FALSE);
    std::fprintf(diagnostics(), "%s\n", line);
    g_free(line);
    return G_LOG_WRITER_HANDLED;
}

void printToDiagnostics(const gchar* text) {
    std::fputs(text, diagnostics());
}

void routeToolkitMessages() {
    static const bool routed = [] {
        g_log_set_writer_func(writeLog, nullptr, nullptr);
        g_set_printerr_handler(printToDiagnostics);
        return true;
    }();
    (void)routed;
}

void onStartup(GtkApplication* application, gpointer) {
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(onQuit), nullptr);
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(quit));
    g_object_unref(quit);
    const gchar* accels[] = {"<Control>q", nullptr};
    gtk_application_set_accels_for_action(application, "app.quit", accels);
    NSApplication::sharedApplication().setTerminator(
        [application] { g_application_quit(G_APPLICATION(application)); });
    NSWorkspace::sharedWorkspace().setOpener([](const std::string& address) {
        return g_app_info_launch_default_for_uri(address.c_str(), nullptr, nullptr) != FALSE;
    });
    NSTimer::setScheduler(mainLoopScheduler());
}

// A second launch finds the first through the session bus. Without one the program still
// runs, as a single instance that nothing can reach.
GApplicationFlags applicationFlags() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        g_clear_error(&error);
        return G_APPLICATION_NON_UNIQUE;
    }
    g_object_unref(bus);
    return G_APPLICATION_DEFAULT_FLAGS;
}

// The objects go in the reverse of their creation, before the widgets: an engine made
// after its view stops before the view goes.
void releaseObjects(Launch& launch) {
    for (auto it = launch.objects.rbegin(); it != launch.objects.rend(); ++it) {
        if (ObjectSlot* slot = slotOf(*it); slot != nullptr && slot->entry != nullptr) {
            slot->object.reset();
        }
    }
    for (GObject* object : launch.objects) {
        if (GTK_IS_WINDOW(object)) {
            gtk_widget_destroy(GTK_WIDGET(object));
        }
    }
    launch.objects.clear();
    createdObjects().clear();
    if (launch.builder != nullptr) {
        g_object_unref(launch.builder);
        launch.builder = nullptr;
    }
}

} // namespace

int NSApplicationMain(int argc, char** argv, const char* applicationId, const char* interfaceFile) {
    if (applicationId == nullptr || !g_application_id_is_valid(applicationId)) {
        std::fprintf(diagnostics(), "Not an application id: %s\n",
                     applicationId != nullptr ? applicationId : "(none)");
        return 1;
    }
    routeToolkitMessages();
    Launch launch;
    launch.interfaceFile = interfaceFile != nullptr ? interfaceFile : "";
    GtkApplication* application = gtk_application_new(applicationId, applicationFlags());
    g_signal_connect(application, "startup", G_CALLBACK(onStartup), nullptr);
    g_signal_connect(application, "activate", G_CALLBACK(onActivate), &launch);
    int status = g_application_run(G_APPLICATION(application), argc, argv);
    for (GObject* object : launch.objects) {
        if (NSObject* target = nsObjectFor(object)) {
            target->applicationWillTerminate();
        }
    }
    NSApplication::sharedApplication().setTerminator({});
    NSWorkspace::sharedWorkspace().setOpener({});
    NSTimer::setScheduler({});
    releaseObjects(launch);
    g_object_unref(application);
    if (launch.failed) {
        status = 1;
    }
    return status;
}
