#pragma once

#include "NSGeometry.h"
#include "NSObject.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class NSView;

// The classes the interface file may name, registered by the program before
// NSApplicationMain runs. For each class: how to create its object, the outlets the file
// may connect (object references it sets) and the actions its controls may send.
//
//   NSClassRegistry::registerClass<MyController>("MyController");
//   NSClassRegistry::registerOutlet("MyController", "soundPort", &MyController::soundPort);
//   NSClassRegistry::registerAction("MyController", "donate:", &MyController::donate);
//   NSClassRegistry::registerViewClass<SoundView>("SoundView");
//
// Registration order does not matter (an outlet may come before its class), but
// everything must be registered before NSApplicationMain: the backend makes the file's
// types from what is registered when it starts. Registering a name again replaces that
// part. Main thread only.
class NSClassRegistry {
public:
    using Factory = std::function<std::unique_ptr<NSObject>()>;
    // Views are created with their frame: the widget's size request, origin (0, 0); the
    // backend sets the origin from the window layout.
    using ViewFactory = std::function<std::unique_ptr<NSView>(NSRect frame)>;
    // Sets an outlet of self. target is the connected object, or null when the file
    // connects an object that is not an NSObject of the toolkit.
    using OutletSetter = std::function<void(NSObject& self, NSObject* target)>;
    // Sends an action to self. sender is the control whose signal fired.
    using Action = std::function<void(NSObject& self, NSControl* sender)>;

    struct ClassEntry {
        std::string name;
        Factory factory;         // set for plain classes
        ViewFactory viewFactory; // set for view classes
        std::vector<std::pair<std::string, OutletSetter>> outlets;
        std::vector<std::pair<std::string, Action>> actions;

        bool isView() const { return static_cast<bool>(viewFactory); }
        bool isCreatable() const { return factory || viewFactory; }
        const OutletSetter* outlet(const std::string& outletName) const;
        const Action* action(const std::string& actionName) const;
    };

    static void registerClass(const std::string& name, Factory factory);
    static void registerViewClass(const std::string& name, ViewFactory factory);
    static void registerOutlet(const std::string& className, const std::string& outletName,
                               OutletSetter setter);
    static void registerAction(const std::string& className, const std::string& actionName,
                               Action action);

    // A class made with its default constructor.
    template <class T> static void registerClass(const std::string& name) {
        registerClass(name, [] { return std::unique_ptr<NSObject>(std::make_unique<T>()); });
    }
    // A view made with its frame.
    template <class T> static void registerViewClass(const std::string& name) {
        registerViewClass(name, [](NSRect frame) {
            return std::unique_ptr<NSView>(std::make_unique<T>(frame));
        });
    }
    // An outlet that is a pointer field; a target of another class sets it to null.
    template <class Owner, class Target>
    static void registerOutlet(const std::string& className, const std::string& outletName,
                               Target* Owner::*field) {
        registerOutlet(className, outletName, [field](NSObject& self, NSObject* target) {
            if (auto* owner = dynamic_cast<Owner*>(&self)) {
                owner->*field = dynamic_cast<Target*>(target);
            }
        });
    }
    // An action that is a member function taking the sender (NSControl* or NSObject*).
    template <class Owner, class Sender>
    static void registerAction(const std::string& className, const std::string& actionName,
                               void (Owner::*member)(Sender*)) {
        registerAction(className, actionName, [member](NSObject& self, NSControl* sender) {
            if (auto* owner = dynamic_cast<Owner*>(&self)) {
                (owner->*member)(sender);
            }
        });
    }

    // The entry of a class, or null. Entries stay at their address for the whole process.
    static const ClassEntry* find(const std::string& name);
    // Every entry, in the order the names were first registered.
    static std::vector<const ClassEntry*> classes();

private:
    static ClassEntry& entry(const std::string& name);
};
