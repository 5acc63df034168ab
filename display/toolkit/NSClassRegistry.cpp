#include "NSClassRegistry.h"

#include "NSView.h"

#include <algorithm>

namespace {

// Entries are never removed, so their addresses stay valid for the backend's types.
std::vector<std::unique_ptr<NSClassRegistry::ClassEntry>>& registry() {
    static std::vector<std::unique_ptr<NSClassRegistry::ClassEntry>> entries;
    return entries;
}

template <class T>
void replaceOrAdd(std::vector<std::pair<std::string, T>>& list, const std::string& name,
                  T value) {
    for (auto& [key, existing] : list) {
        if (key == name) {
            existing = std::move(value);
            return;
        }
    }
    list.emplace_back(name, std::move(value));
}

template <class T>
const T* lookUp(const std::vector<std::pair<std::string, T>>& list, const std::string& name) {
    const auto found =
        std::find_if(list.begin(), list.end(), [&](const auto& item) { return item.first == name; });
    return found == list.end() ? nullptr : &found->second;
}

} // namespace

const NSClassRegistry::OutletSetter*
NSClassRegistry::ClassEntry::outlet(const std::string& outletName) const {
    return lookUp(outlets, outletName);
}

const NSClassRegistry::Action*
NSClassRegistry::ClassEntry::action(const std::string& actionName) const {
    return lookUp(actions, actionName);
}

NSClassRegistry::ClassEntry& NSClassRegistry::entry(const std::string& name) {
    auto& entries = registry();
    for (auto& existing : entries) {
        if (existing->name == name) {
            return *existing;
        }
    }
    entries.push_back(std::make_unique<ClassEntry>());
    entries.back()->name = name;
    return *entries.back();
}

void NSClassRegistry::registerClass(const std::string& name, Factory factory) {
    ClassEntry& target = entry(name);
    target.factory = std::move(factory);
    target.viewFactory = nullptr;
}

void NSClassRegistry::registerViewClass(const std::string& name, ViewFactory factory) {
    ClassEntry& target = entry(name);
    target.viewFactory = std::move(factory);
    target.factory = nullptr;
}

void NSClassRegistry::registerOutlet(const std::string& className, const std::string& outletName,
                                     OutletSetter setter) {
    replaceOrAdd(entry(className).outlets, outletName, std::move(setter));
}

void NSClassRegistry::registerAction(const std::string& className, const std::string& actionName,
                                     Action action) {
    replaceOrAdd(entry(className).actions, actionName, std::move(action));
}

const NSClassRegistry::ClassEntry* NSClassRegistry::find(const std::string& name) {
    for (const auto& existing : registry()) {
        if (existing->name == name) {
            return existing.get();
        }
    }
    return nullptr;
}

std::vector<const NSClassRegistry::ClassEntry*> NSClassRegistry::classes() {
    std::vector<const ClassEntry*> result;
    for (const auto& existing : registry()) {
        result.push_back(existing.get());
    }
    return result;
}
